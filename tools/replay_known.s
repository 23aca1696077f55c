# replay_known.s: the benchmark's three kernels as hand-written x86-64
# functions whose code is known, for checking that the replay
# (tools/jitloops/replay*.py) runs known code at its native speed. Each is
#     uint64_t known_<form>_<kernel>(uint64_t *cell, int64_t n)
# and runs n iterations on *cell, the index in %rcx from 0, returning the
# last value stored (or -1 when a guard fails). tools/replay_known.cpp times
# them as they are linked; tools/jitloops/known.py wraps the same bytes as
# JIT_CODE_LOAD records of a jitdump, which the listing reads and replays.
#
#   plain        one load, the arithmetic, one store through (%rdi)
#   base-index   the same through (%rdi,%rdx,1), %rdx zero: V8's form
#   swapped      loaded through (%rdi,%rdx,1), stored through (%rdx,%rdi,1):
#                V8's WebAssembly form, the same address by other roles
#   imul-load    the load folded into a multiply: imul $k,(%rdi),%rax
#   index-store  plain, and the index stored beside the cell every iteration
#   guarded      a runtime's checks: a type word compared, the data pointer
#                reloaded from its object before the load and, into another
#                register, before the store, and a limit compared with %rsp
#
# Every loop head is aligned to 64 bytes, so that its place in a cache line
# is the same where it is linked and where the jitdump puts it.

        .text

        .macro  LOOP name, load, update, store
        .globl  \name
        .type   \name, @function
        .p2align 6
\name:  xor     %ecx, %ecx
        xor     %edx, %edx
        .p2align 6
1:      \load
        \update
        \store
        inc     %rcx
        cmp     %rsi, %rcx
        jl      1b
        ret
        .size   \name, .-\name
        .endm

        .macro  BRANCH name, load, store
        .globl  \name
        .type   \name, @function
        .p2align 6
\name:  xor     %ecx, %ecx
        xor     %edx, %edx
        .p2align 6
1:      test    $1, %cl
        jne     2f
        \load
        add     $1, %rax
        \store
        jmp     3f
2:      \load
        sub     $1, %rax
        \store
3:      inc     %rcx
        cmp     %rsi, %rcx
        jl      1b
        ret
        .size   \name, .-\name
        .endm

        LOOP    known_plain_inc, "mov (%rdi), %rax", "add $1, %rax", "mov %rax, (%rdi)"
        LOOP    known_plain_arith, "mov (%rdi), %rax", "lea 7(%rax,%rax,2), %rax", "mov %rax, (%rdi)"
        BRANCH  known_plain_branch, "mov (%rdi), %rax", "mov %rax, (%rdi)"

        LOOP    known_base_index_inc, "mov (%rdi,%rdx,1), %rax", "add $1, %rax", "mov %rax, (%rdi,%rdx,1)"
        LOOP    known_base_index_arith, "mov (%rdi,%rdx,1), %rax", "lea 7(%rax,%rax,2), %rax", "mov %rax, (%rdi,%rdx,1)"
        BRANCH  known_base_index_branch, "mov (%rdi,%rdx,1), %rax", "mov %rax, (%rdi,%rdx,1)"

        LOOP    known_swapped_inc, "mov (%rdi,%rdx,1), %rax", "add $1, %rax", "mov %rax, (%rdx,%rdi,1)"
        LOOP    known_swapped_arith, "mov (%rdi,%rdx,1), %rax", "lea 7(%rax,%rax,2), %rax", "mov %rax, (%rdx,%rdi,1)"
        BRANCH  known_swapped_branch, "mov (%rdi,%rdx,1), %rax", "mov %rax, (%rdx,%rdi,1)"

        LOOP    known_imul_load_inc, "imul $1, (%rdi), %rax", "add $1, %rax", "mov %rax, (%rdi)"
        LOOP    known_imul_load_arith, "imul $3, (%rdi), %rax", "add $7, %rax", "mov %rax, (%rdi)"
        BRANCH  known_imul_load_branch, "imul $1, (%rdi), %rax", "mov %rax, (%rdi)"

        LOOP    known_index_store_inc, "mov (%rdi), %rax", "add $1, %rax", "mov %rax, (%rdi); mov %rcx, 8(%rdi)"
        LOOP    known_index_store_arith, "mov (%rdi), %rax", "lea 7(%rax,%rax,2), %rax", "mov %rax, (%rdi); mov %rcx, 8(%rdi)"
        BRANCH  known_index_store_branch, "mov (%rdi), %rax", "mov %rax, (%rdi); mov %rcx, 8(%rdi)"

# The guarded form: an object on the stack, (%r8): its type word at 0, the
# data pointer at 8, a limit at 16 that %rsp must stay above; %r9 the type
# expected. A failed check leaves with -1.
        .macro  GUARDED name, update
        .globl  \name
        .type   \name, @function
        .p2align 6
\name:  sub     $24, %rsp
        movq    $0x5eed, (%rsp)
        mov     %rdi, 8(%rsp)
        movq    $0, 16(%rsp)
        mov     %rsp, %r8
        mov     $0x5eed, %r9
        xor     %ecx, %ecx
        .p2align 6
1:      cmp     %r9, (%r8)
        jne     4f
        mov     8(%r8), %rdi
        test    %rdi, %rdi
        je      4f
        mov     (%rdi), %rax
        \update
        mov     8(%r8), %r10
        mov     %rax, (%r10)
        inc     %rcx
        cmp     16(%r8), %rsp
        jbe     4f
        cmp     %rsi, %rcx
        jl      1b
        add     $24, %rsp
        ret
4:      mov     $-1, %rax
        add     $24, %rsp
        ret
        .size   \name, .-\name
        .endm

        GUARDED known_guarded_inc, "add $1, %rax"
        GUARDED known_guarded_arith, "lea 7(%rax,%rax,2), %rax"

        .globl  known_guarded_branch
        .type   known_guarded_branch, @function
        .p2align 6
known_guarded_branch:
        sub     $24, %rsp
        movq    $0x5eed, (%rsp)
        mov     %rdi, 8(%rsp)
        movq    $0, 16(%rsp)
        mov     %rsp, %r8
        mov     $0x5eed, %r9
        xor     %ecx, %ecx
        .p2align 6
1:      cmp     %r9, (%r8)
        jne     4f
        mov     8(%r8), %rdi
        test    %rdi, %rdi
        je      4f
        mov     (%rdi), %rax
        test    $1, %cl
        jne     2f
        add     $1, %rax
        jmp     3f
2:      sub     $1, %rax
3:      mov     8(%r8), %r10
        mov     %rax, (%r10)
        inc     %rcx
        cmp     16(%r8), %rsp
        jbe     4f
        cmp     %rsi, %rcx
        jl      1b
        add     $24, %rsp
        ret
4:      mov     $-1, %rax
        add     $24, %rsp
        ret
        .size   known_guarded_branch, .-known_guarded_branch

        .section .note.GNU-stack, "", @progbits
