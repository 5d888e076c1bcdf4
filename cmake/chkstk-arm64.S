// Stack probe for ARM64 Windows. The compiler calls it before a frame of a page or more, with
// the frame's size in 16-byte units in x15; it touches each page below the stack pointer in
// turn, so that the guard page grows the stack in order. It changes only x16, x17 and flags.
        .text
        .globl  __chkstk
        .p2align 2
__chkstk:
        lsl     x16, x15, #4
        mov     x17, sp
1:
        sub     x17, x17, #4096
        ldr     xzr, [x17]
        subs    x16, x16, #4096
        b.gt    1b
        ret
