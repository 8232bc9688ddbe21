// A video option ROM that holds nothing. The emulated PC's display adapter insists on a ROM at
// 0xC0000; this firmware never runs option ROMs, so a valid empty one is enough.

        .section .text
        .code16
        .set    ROM_BLOCK_SIZE, 512
        .set    SIGNATURE_LOW, 0x55
        .set    SIGNATURE_HIGH, 0xAA
        .set    BLOCK_COUNT, 1
        .set    FAR_RETURN, 0xCB
VideoRomStart:
        .byte   SIGNATURE_LOW, SIGNATURE_HIGH, BLOCK_COUNT
        .byte   FAR_RETURN      // the initialization entry, should anything call it
        .org    ROM_BLOCK_SIZE - 1, 0
        // All bytes of an option ROM add up to zero modulo 256.
        .byte   (0x100 - ((SIGNATURE_LOW + SIGNATURE_HIGH + BLOCK_COUNT + FAR_RETURN) & 0xFF)) & 0xFF
