// Interrupt and exception entry for all 256 vectors.
//
// Each vector has a 16-byte stub that makes the stack look the same for every vector (a zero in
// place of the error code where the processor pushes none), pushes its vector number and jumps
// to the common entry. The common entry saves every general-purpose register and the whole
// x87/SSE state, calls InterruptDispatch(frame) and restores everything before IRETQ, so the
// interrupted code and the driver's handler can use any register.

#include "Boot/InterruptLayout.h"

        .text
        .code64

        .balign INTERRUPT_STUB_SIZE
        .globl  InterruptStubs
InterruptStubs:
        .set    vector, 0
        .rept   INTERRUPT_VECTOR_COUNT
        .balign INTERRUPT_STUB_SIZE
        // Vectors for which the processor pushes an error code itself.
        .if (vector == 8) || ((vector >= 10) && (vector <= 14)) || (vector == 17) || (vector == 21) || (vector == 29) || (vector == 30)
        .else
        pushq   $0
        .endif
        pushq   $vector
        jmp     CommonInterruptEntry
        .set    vector, vector + 1
        .endr
        .balign INTERRUPT_STUB_SIZE
        .globl  InterruptStubsEnd
InterruptStubsEnd:

CommonInterruptEntry:
        pushq   %rax
        pushq   %rbx
        pushq   %rcx
        pushq   %rdx
        pushq   %rsi
        pushq   %rdi
        pushq   %rbp
        pushq   %r8
        pushq   %r9
        pushq   %r10
        pushq   %r11
        pushq   %r12
        pushq   %r13
        pushq   %r14
        pushq   %r15
        // The processor aligned the stack to 16 before its five pushes; with the stub's two and
        // these fifteen it stays aligned. The rounding below only guards FXSAVE's alignment.
        movq    %rsp, %rbp
        subq    $FXSAVE_AREA_SIZE, %rsp
        andq    $-16, %rsp
        fxsave64 (%rsp)
        movq    %rbp, %rdi
        cld
        callq   InterruptDispatch
        fxrstor64 (%rsp)
        movq    %rbp, %rsp
        popq    %r15
        popq    %r14
        popq    %r13
        popq    %r12
        popq    %r11
        popq    %r10
        popq    %r9
        popq    %r8
        popq    %rbp
        popq    %rdi
        popq    %rsi
        popq    %rdx
        popq    %rcx
        popq    %rbx
        popq    %rax
        addq    $16, %rsp       // vector number and error code
        iretq
