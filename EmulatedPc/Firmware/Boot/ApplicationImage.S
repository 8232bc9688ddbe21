// The board check application that the ROM carries beside the driver's volume, taken byte for
// byte from the build, and the place where the firmware finds it.

        .section .application_image, "a"
        .balign 16
ApplicationImageStart:
        .incbin APPLICATION_IMAGE_PATH
ApplicationImageEnd:

        .section .rodata
        .balign 8
        .globl  ApplicationImageBounds
ApplicationImageBounds:
        .quad   ApplicationImageStart
        .quad   ApplicationImageEnd
