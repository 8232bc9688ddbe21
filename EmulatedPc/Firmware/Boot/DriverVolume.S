// The firmware volume with the driver's file that the ROM carries, taken byte for byte from the
// build of the driver, and the place where the dispatcher finds it.

        .section .driver_volume, "a"
        .balign 16
DriverVolumeStart:
        .incbin DRIVER_VOLUME_PATH
DriverVolumeEnd:

        .section .rodata
        .balign 8
        .globl  DriverVolumeBounds
DriverVolumeBounds:
        .quad   DriverVolumeStart
        .quad   DriverVolumeEnd
