// A plugin for qemu-user that writes every data access the emulated program
// makes, in valgrind lackey's trace format (" L address,size" for a load,
// " S address,size" for a store, addresses in hex): the memory-traffic proof
// of bench_floor's AArch64 forms (tests/test_floor.py) reads it as it reads
// lackey's trace of the x86-64 ones. What counts as an access is qemu's: its
// translator hands each guest load and store of the program to the plugin,
// so the trace does not rest on this project's reading of the instructions.
//
//   qemu-aarch64 -plugin ./libqemu_traffic.so,out=trace.txt PROGRAM ...
//
// Debian ships qemu's plugin API without its header, so the part of it used
// here is declared below, as qemu's plugin API version 1 (qemu 5.2 to 8.0)
// defines it; qemu refuses a plugin whose version it does not support.
#include <cstdint>
#include <cstdio>
#include <cstring>

extern "C" {

using qemu_plugin_id_t = std::uint64_t;
using qemu_plugin_meminfo_t = std::uint32_t;
struct qemu_plugin_tb;
struct qemu_plugin_insn;
struct qemu_info_t;

enum qemu_plugin_cb_flags { QEMU_PLUGIN_CB_NO_REGS, QEMU_PLUGIN_CB_R_REGS, QEMU_PLUGIN_CB_RW_REGS };
enum qemu_plugin_mem_rw { QEMU_PLUGIN_MEM_R = 1, QEMU_PLUGIN_MEM_W, QEMU_PLUGIN_MEM_RW };

using qemu_plugin_vcpu_tb_trans_cb_t = void (*)(qemu_plugin_id_t, qemu_plugin_tb *);
using qemu_plugin_vcpu_mem_cb_t = void (*)(unsigned int vcpu, qemu_plugin_meminfo_t info,
                                           std::uint64_t vaddr, void *userdata);
using qemu_plugin_udata_cb_t = void (*)(qemu_plugin_id_t, void *userdata);

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_tb_trans_cb_t cb);
std::size_t qemu_plugin_tb_n_insns(const qemu_plugin_tb *tb);
qemu_plugin_insn *qemu_plugin_tb_get_insn(const qemu_plugin_tb *tb, std::size_t index);
void qemu_plugin_register_vcpu_mem_cb(qemu_plugin_insn *insn, qemu_plugin_vcpu_mem_cb_t cb,
                                      qemu_plugin_cb_flags flags, qemu_plugin_mem_rw rw,
                                      void *userdata);
unsigned int qemu_plugin_mem_size_shift(qemu_plugin_meminfo_t info);
bool qemu_plugin_mem_is_store(qemu_plugin_meminfo_t info);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, qemu_plugin_udata_cb_t cb, void *userdata);

[[gnu::visibility("default")]] extern const int qemu_plugin_version;
const int qemu_plugin_version = 1;

[[gnu::visibility("default")]] int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t *info,
                                                       int argc, char **argv);
}

namespace {

std::FILE *trace = nullptr;

void on_access(unsigned int /*vcpu*/, qemu_plugin_meminfo_t info, std::uint64_t vaddr,
               void * /*userdata*/) {
    std::fprintf(trace, " %c %llx,%u\n", qemu_plugin_mem_is_store(info) ? 'S' : 'L',
                 static_cast<unsigned long long>(vaddr), 1U << qemu_plugin_mem_size_shift(info));
}

void on_translation(qemu_plugin_id_t /*id*/, qemu_plugin_tb *tb) {
    const std::size_t count = qemu_plugin_tb_n_insns(tb);
    for (std::size_t k = 0; k < count; ++k) {
        qemu_plugin_register_vcpu_mem_cb(qemu_plugin_tb_get_insn(tb, k), on_access,
                                         QEMU_PLUGIN_CB_NO_REGS, QEMU_PLUGIN_MEM_RW, nullptr);
    }
}

void on_end(qemu_plugin_id_t /*id*/, void * /*userdata*/) {
    if (std::fclose(trace) != 0) {
        std::perror("qemu_traffic: cannot write the trace");
    }
}

} // namespace

int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t * /*info*/, int argc, char **argv) {
    const char *path = nullptr;
    for (int k = 0; k < argc; ++k) {
        if (std::strncmp(argv[k], "out=", 4) == 0) {
            path = argv[k] + 4;
        }
    }
    if (path == nullptr) {
        std::fprintf(stderr, "qemu_traffic: give the trace's file as out=PATH\n");
        return 1;
    }
    trace = std::fopen(path, "w");
    if (trace == nullptr) {
        std::perror(path);
        return 1;
    }
    qemu_plugin_register_vcpu_tb_trans_cb(id, on_translation);
    qemu_plugin_register_atexit_cb(id, on_end, nullptr);
    return 0;
}
