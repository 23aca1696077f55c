// replay_harness: runs machine code that a JIT wrote, natively, at the
// addresses the JIT gave it, from a register and memory state given to it,
// and times it. tools/jit_loops.py builds it once (tools/jitloops/harness.py)
// and hands it a description that tools/jitloops/replay_*.py derive from a
// listing: which bytes go where, the memory cells and their values, and the
// experiments to time, each an entry point, the registers to enter it with
// and the addresses its run must end at.
//
//     replay_harness DESCRIPTION
//
// Every page the description names is mapped at its own address with
// MAP_FIXED_NOREPLACE: a page this process already holds (its own code,
// stack or libraries) is not taken over, the run is refused instead. A code
// page is filled with int3 traps and then given the description's bytes, so
// that any way out of the code the description placed lands on a trap. A run
// ends on the first trap or fault: the signal handler reads the clock, keeps
// the registers and where the run stopped, and returns to the harness. A run
// that stopped at one of its experiment's exits "landed"; any other stop
// "left" its code there, and its time means nothing.
//
// The description, one record per line (numbers in hex, no 0x):
//   replay-description 1
//   rounds N | timeout SECONDS
//   page ADDRESS code|data      a 4 KiB page, ADDRESS page-aligned
//   bytes ADDRESS HEX           code placed in code pages
//   cell ADDRESS WIDTH VALUE    WIDTH bytes (1, 2, 4, 8) of memory: written
//                               before every run (once, in a code page)
//   experiment NAME             then, up to `end`:
//     reg NAME VALUE            rax..r15, rsp, xmm0..xmm15 (low 64 bits)
//     entry ADDRESS | exit ADDRESS (one or more) | watch ADDRESS WIDTH
//   end
// Each round runs every experiment once, in order. The output, per run:
//   run NAME ROUND NANOSECONDS landed ADDRESS
//   run NAME ROUND NANOSECONDS left ADDRESS SIGNAL
//   run NAME ROUND - timeout
// and after each experiment's last round `state NAME REG=VALUE ...` (the
// registers where it stopped) and `watch NAME ADDRESS VALUE`. Exit status 0;
// 2 for a description it cannot read; 3 when a page cannot be placed, with
// `refused REASON`.
#include <algorithm>
#include <array>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#if !defined(__x86_64__) || !defined(__linux__)
#error "the replay harness runs x86-64 code on Linux"
#endif

#ifndef MAP_FIXED_NOREPLACE
#define MAP_FIXED_NOREPLACE 0x100000
#endif

namespace {

constexpr std::uint64_t PAGE = 4096;
constexpr int GPRS = 16;
constexpr int XMMS = 16;

// In the hardware's numbering, which the entry code below loads in order.
constexpr std::array<const char *, GPRS> GPR_NAMES = {"rax", "rcx", "rdx", "rbx", "rsp", "rbp",
                                                      "rsi", "rdi", "r8",  "r9",  "r10", "r11",
                                                      "r12", "r13", "r14", "r15"};
// The same registers in ucontext's gregs.
constexpr std::array<int, GPRS> GREGS = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP,
                                         REG_RSI, REG_RDI, REG_R8,  REG_R9,  REG_R10, REG_R11,
                                         REG_R12, REG_R13, REG_R14, REG_R15};

} // namespace

// What the entry code loads: the general registers, then the low halves of
// the vector registers. Its layout is the offsets below.
struct ReplayRegisters {
    std::uint64_t gpr[GPRS];
    std::uint64_t xmm[XMMS];
};

extern "C" [[noreturn]] void replay_enter(const ReplayRegisters *registers, std::uint64_t entry);

// Loads every register from the block and jumps to the entry, through a
// word of this program's own (RIP-relative), so that no register is needed
// for the jump: the code starts with exactly the state it was given.
asm(R"(
    .bss
    .p2align 3
replay_target:
    .zero 8
    .text
    .globl replay_enter
    .type replay_enter, @function
replay_enter:
    movq %rsi, replay_target(%rip)
    movq %rdi, %rax
    movq 128(%rax), %xmm0
    movq 136(%rax), %xmm1
    movq 144(%rax), %xmm2
    movq 152(%rax), %xmm3
    movq 160(%rax), %xmm4
    movq 168(%rax), %xmm5
    movq 176(%rax), %xmm6
    movq 184(%rax), %xmm7
    movq 192(%rax), %xmm8
    movq 200(%rax), %xmm9
    movq 208(%rax), %xmm10
    movq 216(%rax), %xmm11
    movq 224(%rax), %xmm12
    movq 232(%rax), %xmm13
    movq 240(%rax), %xmm14
    movq 248(%rax), %xmm15
    movq 8(%rax), %rcx
    movq 16(%rax), %rdx
    movq 24(%rax), %rbx
    movq 32(%rax), %rsp
    movq 40(%rax), %rbp
    movq 48(%rax), %rsi
    movq 56(%rax), %rdi
    movq 64(%rax), %r8
    movq 72(%rax), %r9
    movq 80(%rax), %r10
    movq 88(%rax), %r11
    movq 96(%rax), %r12
    movq 104(%rax), %r13
    movq 112(%rax), %r14
    movq 120(%rax), %r15
    movq 0(%rax), %rax
    cld
    jmp *replay_target(%rip)
    .size replay_enter, .-replay_enter
)");

namespace {

struct Cell {
    std::uint64_t address;
    unsigned width;
    std::uint64_t value;
    bool in_code;
};

struct Experiment {
    std::string name;
    ReplayRegisters registers{};
    std::uint64_t entry = 0;
    std::vector<std::uint64_t> exits;
    std::vector<std::pair<std::uint64_t, unsigned>> watches;
};

struct Description {
    int rounds = 1;
    unsigned timeout = 60;
    std::vector<std::pair<std::uint64_t, bool>> pages; // address, code
    std::vector<std::pair<std::uint64_t, std::string>> bytes;
    std::vector<Cell> cells;
    std::vector<Experiment> experiments;
};

// Where a run stopped, as the signal handler saw it.
struct Stop {
    int signal = 0;
    std::uint64_t at = 0;
    std::int64_t ns = 0;
    std::array<std::uint64_t, GPRS> gpr{};
};

Stop stop;
sigjmp_buf back;
std::int64_t started_ns = 0;
std::array<unsigned char, 1 << 16> signal_stack;

// Every address the harness writes or maps is a number the description
// gives (the JIT's own addresses): this is where a number becomes a pointer.
void *at(std::uint64_t address) {
    return reinterpret_cast<void *>(address); // NOLINT(performance-no-int-to-ptr)
}

std::int64_t now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void on_signal(int signal, siginfo_t *info, void *context) {
    stop.ns = now_ns() - started_ns;
    stop.signal = signal;
    const auto *machine = static_cast<ucontext_t *>(context);
    for (int k = 0; k < GPRS; ++k) {
        stop.gpr[static_cast<std::size_t>(k)] = static_cast<std::uint64_t>(
            machine->uc_mcontext.gregs[GREGS[static_cast<std::size_t>(k)]]);
    }
    const auto rip = static_cast<std::uint64_t>(machine->uc_mcontext.gregs[REG_RIP]);
    // An int3 leaves the instruction pointer past itself; a fault, at the
    // instruction (an instruction fetch's fault: the address fetched).
    stop.at = signal == SIGTRAP && info->si_code == SI_KERNEL ? rip - 1 : rip;
    siglongjmp(back, 1);
}

[[noreturn]] void fail(int status, const std::string &message) {
    std::printf("%s %s\n", status == 3 ? "refused" : "error", message.c_str());
    std::fflush(stdout);
    std::exit(status);
}

std::uint64_t hex(const std::string &word, const std::string &line) {
    if (word.empty() || word.find_first_not_of("0123456789abcdef") != std::string::npos) {
        fail(2, "not a hex number in: " + line);
    }
    return std::strtoull(word.c_str(), nullptr, 16);
}

int register_index(const std::string &name, bool &vector) {
    for (int k = 0; k < GPRS; ++k) {
        if (name == GPR_NAMES[static_cast<std::size_t>(k)]) {
            vector = false;
            return k;
        }
    }
    for (int k = 0; k < XMMS; ++k) {
        if (name == "xmm" + std::to_string(k)) {
            vector = true;
            return k;
        }
    }
    return -1;
}

Description read_description(const char *path) {
    std::ifstream in(path);
    if (!in) {
        fail(2, std::string("cannot read ") + path);
    }
    Description d;
    std::string line;
    Experiment *current = nullptr;
    bool header = false;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string kind, a, b, c;
        words >> kind >> a >> b >> c;
        if (kind.empty()) {
            continue;
        }
        if (!header) {
            if (kind != "replay-description" || a != "1") {
                fail(2, "not a replay description: " + line);
            }
            header = true;
        } else if (kind == "rounds") {
            d.rounds = static_cast<int>(hex(a, line));
        } else if (kind == "timeout") {
            d.timeout = static_cast<unsigned>(hex(a, line));
        } else if (kind == "page") {
            d.pages.emplace_back(hex(a, line), b == "code");
        } else if (kind == "bytes") {
            d.bytes.emplace_back(hex(a, line), b);
        } else if (kind == "cell") {
            d.cells.push_back(
                {hex(a, line), static_cast<unsigned>(hex(b, line)), hex(c, line), false});
        } else if (kind == "experiment") {
            d.experiments.push_back({});
            current = &d.experiments.back();
            current->name = a;
        } else if (current != nullptr && kind == "reg") {
            bool vector = false;
            const int k = register_index(a, vector);
            if (k < 0) {
                fail(2, "no such register: " + line);
            }
            (vector ? current->registers.xmm : current->registers.gpr)[k] = hex(b, line);
        } else if (current != nullptr && kind == "entry") {
            current->entry = hex(a, line);
        } else if (current != nullptr && kind == "exit") {
            current->exits.push_back(hex(a, line));
        } else if (current != nullptr && kind == "watch") {
            current->watches.emplace_back(hex(a, line), static_cast<unsigned>(hex(b, line)));
        } else if (current != nullptr && kind == "end") {
            current = nullptr;
        } else {
            fail(2, "unknown record: " + line);
        }
    }
    if (!header || d.rounds < 1) {
        fail(2, "an empty description, or no rounds");
    }
    return d;
}

bool in_pages(const Description &d, std::uint64_t address, std::uint64_t size, bool code) {
    for (std::uint64_t a = address & ~(PAGE - 1); a < address + size; a += PAGE) {
        bool found = false;
        for (const auto &[page, is_code] : d.pages) {
            found = found || (page == a && is_code == code);
        }
        if (!found) {
            return false;
        }
    }
    return true;
}

void place(Description &d) {
    for (const auto &[address, code] : d.pages) {
        if (address % PAGE != 0) {
            fail(2, "a page address not page-aligned");
        }
        void *wanted = at(address);
        void *got = mmap(wanted, PAGE, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        char where[64];
        std::snprintf(where, sizeof where, "%llx", static_cast<unsigned long long>(address));
        if (got == MAP_FAILED) {
            fail(3, std::string("the page at 0x") + where + " cannot be placed: " +
                        (errno == EEXIST ? "the harness's own memory (its code, stack or heap) "
                                           "lies there"
                                         : std::strerror(errno)));
        }
        if (got != wanted) { // a kernel that ignores MAP_FIXED_NOREPLACE
            munmap(got, PAGE);
            fail(3, std::string("the page at 0x") + where +
                        " cannot be placed: the kernel "
                        "does not place pages at an address");
        }
        if (code) {
            std::memset(wanted, 0xcc, PAGE);
        }
    }
    for (const auto &[address, text] : d.bytes) {
        if (text.size() % 2 != 0 || !in_pages(d, address, text.size() / 2, true)) {
            fail(2, "bytes outside the code pages, or odd hex");
        }
        for (std::size_t k = 0; k < text.size(); k += 2) {
            const auto byte =
                static_cast<unsigned char>(std::stoul(text.substr(k, 2), nullptr, 16));
            *static_cast<unsigned char *>(at(address + k / 2)) = byte;
        }
    }
    for (auto &cell : d.cells) {
        if (cell.width != 1 && cell.width != 2 && cell.width != 4 && cell.width != 8) {
            fail(2, "a cell's width is not 1, 2, 4 or 8");
        }
        cell.in_code = in_pages(d, cell.address, cell.width, true);
        if (!cell.in_code && !in_pages(d, cell.address, cell.width, false)) {
            fail(2, "a cell outside the pages");
        }
    }
}

void write_cells(const Description &d, bool code) {
    for (const auto &cell : d.cells) {
        if (cell.in_code == code) {
            std::memcpy(at(cell.address), &cell.value, cell.width);
        }
    }
}

void protect_code(const Description &d) {
    for (const auto &[address, code] : d.pages) {
        if (code && mprotect(at(address), PAGE, PROT_READ | PROT_EXEC) != 0) {
            fail(3, std::string("code pages cannot be made executable: ") + std::strerror(errno));
        }
    }
}

void install_handlers() {
    stack_t alternate{};
    alternate.ss_sp = signal_stack.data();
    alternate.ss_size = signal_stack.size();
    if (sigaltstack(&alternate, nullptr) != 0) {
        fail(2, "sigaltstack failed");
    }
    struct sigaction action {};
    action.sa_sigaction = on_signal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGTRAP, SIGILL, SIGSEGV, SIGBUS, SIGFPE, SIGALRM}) {
        sigaction(signal, &action, nullptr);
    }
}

void run(const Description &d, const Experiment &e, int round, bool last) {
    write_cells(d, false);
    stop = Stop{};
    if (sigsetjmp(back, 1) == 0) {
        alarm(d.timeout);
        started_ns = now_ns();
        replay_enter(&e.registers, e.entry);
    }
    alarm(0);
    const char *name = e.name.c_str();
    const auto where = static_cast<unsigned long long>(stop.at);
    if (stop.signal == SIGALRM) {
        std::printf("run %s %d - timeout\n", name, round);
    } else if (stop.signal == SIGTRAP &&
               std::find(e.exits.begin(), e.exits.end(), stop.at) != e.exits.end()) {
        std::printf("run %s %d %lld landed %llx\n", name, round, static_cast<long long>(stop.ns),
                    where);
    } else {
        std::printf("run %s %d %lld left %llx %s\n", name, round, static_cast<long long>(stop.ns),
                    where, sigabbrev_np(stop.signal));
    }
    if (last) {
        std::printf("state %s", name);
        for (int k = 0; k < GPRS; ++k) {
            std::printf(" %s=%llx", GPR_NAMES[static_cast<std::size_t>(k)],
                        static_cast<unsigned long long>(stop.gpr[static_cast<std::size_t>(k)]));
        }
        std::printf("\n");
        for (const auto &[address, width] : e.watches) {
            std::uint64_t value = 0;
            std::memcpy(&value, at(address), width);
            std::printf("watch %s %llx %llx\n", name, static_cast<unsigned long long>(address),
                        static_cast<unsigned long long>(value));
        }
    }
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: replay_harness DESCRIPTION\n");
        return 2;
    }
    Description d = read_description(argv[1]);
    place(d);
    write_cells(d, true);
    protect_code(d);
    install_handlers();
    for (int round = 1; round <= d.rounds; ++round) {
        for (const auto &e : d.experiments) {
            run(d, e, round, round == d.rounds);
        }
    }
    return 0;
}
