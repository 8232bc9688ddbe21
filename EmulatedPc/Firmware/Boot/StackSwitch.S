// CallOnStack(Function, Argument1, Argument2, StackTop): calls Function(Argument1, Argument2) in
// the firmware calling convention (Microsoft x64) on another stack, and returns its result.
// The firmware uses it to run driver code on stacks it can paint and measure.

        .text
        .code64
        .globl  CallOnStack
CallOnStack:
        pushq   %rbp
        movq    %rsp, %rbp
        // Callee-saved in the caller's convention but not in the callee's: nothing. The
        // Microsoft convention saves RBX, RBP, RDI, RSI, R12-R15 and XMM6-15, a superset.
        movq    %rcx, %rsp
        andq    $-16, %rsp
        subq    $32, %rsp       // the four register parameters' home area
        movq    %rdi, %rax
        movq    %rsi, %rcx
        // The second argument is already in RDX.
        callq   *%rax
        movq    %rbp, %rsp
        popq    %rbp
        retq
