// From the reset vector to 64-bit long mode.
//
// The processor starts in real mode at 0xFFFFFFF0 with CS based at 0xFFFF0000, executing this
// ROM. It loads a flat GDT, enters 32-bit protected mode, copies the firmware's code and data
// from ROM to their place in RAM, clears its zero-initialized data, builds page tables that map
// the first 4 GiB one to one (the top gigabyte, where the local APIC and the ROM live, uncached),
// turns on long mode and calls FirmwareMain on the firmware stack.

#include "Boot/BootLayout.h"

        .section .boot, "ax"

// ---------------------------------------------------------------- real mode
        .code16
RealModeStart:
        cli
        cld
        // The GDT descriptor lies in this 64 KiB segment; the 32-bit base inside it is linear.
        lgdtl   %cs:(GdtDescriptor - RESET_SEGMENT_BASE)
        movl    %cr0, %eax
        orl     $CR0_PE, %eax
        movl    %eax, %cr0
        ljmpl   $GDT_CODE32, $ProtectedModeStart

// ---------------------------------------------------------------- protected mode
        .code32
ProtectedModeStart:
        movw    $GDT_DATA, %ax
        movw    %ax, %ds
        movw    %ax, %es
        movw    %ax, %ss
        movw    %ax, %fs
        movw    %ax, %gs

        // Code and initialized data run from RAM: copy them out of the ROM.
        movl    $PayloadLoadAddress, %esi
        movl    $PayloadStart, %edi
        movl    $PayloadEnd, %ecx
        subl    %edi, %ecx
        rep movsb

        // Zero-initialized data, page tables and stacks included.
        movl    $BssStart, %edi
        movl    $BssEnd, %ecx
        subl    %edi, %ecx
        xorl    %eax, %eax
        rep stosb

        // PML4[0] -> the one page-directory-pointer table.
        movl    $PageDirectoryPointers, %eax
        orl     $PAGE_PRESENT_WRITABLE, %eax
        movl    %eax, PageMapLevel4

        // Four directory pointers -> four page directories, one per gigabyte.
        movl    $PageDirectories, %eax
        orl     $PAGE_PRESENT_WRITABLE, %eax
        xorl    %ecx, %ecx
1:      movl    %eax, PageDirectoryPointers(, %ecx, 8)
        addl    $PAGE_SIZE_4K, %eax
        incl    %ecx
        cmpl    $IDENTITY_MAPPED_GIGABYTES, %ecx
        jb      1b

        // 2 MiB pages, identity mapped; the last gigabyte is device space and is mapped uncached.
        xorl    %ecx, %ecx
2:      movl    %ecx, %eax
        shll    $LARGE_PAGE_SHIFT, %eax
        orl     $(PAGE_PRESENT_WRITABLE | PAGE_LARGE), %eax
        cmpl    $FIRST_UNCACHED_LARGE_PAGE, %ecx
        jb      3f
        orl     $PAGE_UNCACHED, %eax
3:      movl    %eax, PageDirectories(, %ecx, 8)
        incl    %ecx
        cmpl    $(IDENTITY_MAPPED_GIGABYTES * ENTRIES_PER_TABLE), %ecx
        jb      2b

        // PAE and SSE state, then long mode, then paging.
        movl    %cr4, %eax
        orl     $(CR4_PAE | CR4_OSFXSR | CR4_OSXMMEXCPT), %eax
        movl    %eax, %cr4
        movl    $PageMapLevel4, %eax
        movl    %eax, %cr3
        movl    $MSR_EFER, %ecx
        rdmsr
        orl     $EFER_LME, %eax
        wrmsr
        movl    %cr0, %eax
        andl    $~CR0_EM, %eax
        orl     $(CR0_PG | CR0_MP), %eax
        movl    %eax, %cr0
        ljmpl   $GDT_CODE64, $LongModeStart

// ---------------------------------------------------------------- long mode
        .code64
LongModeStart:
        movw    $GDT_DATA, %ax
        movw    %ax, %ds
        movw    %ax, %es
        movw    %ax, %ss
        movw    %ax, %fs
        movw    %ax, %gs
        movabsq $FirmwareStackTop, %rsp
        xorl    %ebp, %ebp
        movabsq $FirmwareMain, %rax
        callq   *%rax
4:      cli
        hlt
        jmp     4b

// ---------------------------------------------------------------- descriptor table
        .balign 16
Gdt:
        .quad   0
        .quad   GDT_ENTRY_CODE32
        .quad   GDT_ENTRY_DATA
        .quad   GDT_ENTRY_CODE64
GdtEnd:
GdtDescriptor:
        .word   GdtEnd - Gdt - 1
        .long   Gdt

// ---------------------------------------------------------------- reset vector
        .section .reset, "ax"
        .code16
        .globl  ResetVector
ResetVector:
        jmp     RealModeStart
        .org    RESET_VECTOR_SIZE, 0xF4
