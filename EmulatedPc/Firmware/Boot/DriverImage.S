// The driver image the ROM carries, taken byte for byte from the build of the driver, and the
// place where the firmware finds it.

        .section .driver_image, "a"
        .balign 16
DriverImageStart:
        .incbin DRIVER_IMAGE_PATH
DriverImageEnd:

        .section .rodata
        .balign 8
        .globl  DriverImageBounds
DriverImageBounds:
        .quad   DriverImageStart
        .quad   DriverImageEnd
