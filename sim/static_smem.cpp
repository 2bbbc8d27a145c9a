// Static __shared__ bytes of a kernel, as the GPU runtime reports them in cudaFuncAttributes::sharedSizeBytes
// and counts them against the per-block limit together with the dynamic bytes of a launch.
//
// The shim turns each `__shared__` declaration into a function-local static in the section vyr_smem. Such a
// variable's symbol is mangled as a local name of its function (_ZZ <function encoding> E <name>), so the
// symbol table of the module that holds the kernel tells which of those variables belong to it, and their
// sizes. Variables declared in device functions that a kernel calls are not the kernel's own locals and are
// not counted (the GPU would count them); a module without a symbol table counts zero.
#include <elf.h>
#include <link.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "simt_internal.h"

namespace vyr_sim {
namespace {

struct ModuleSymbols {
    std::map<uintptr_t, std::string> functions;               // offset from the load address -> name
    std::vector<std::pair<std::string, size_t>> shared_vars;  // names and sizes in vyr_smem
};

struct Lookup {
    uintptr_t address;
    std::string path;
    uintptr_t bias = 0;
    bool found = false;
};

int find_module(dl_phdr_info* info, size_t, void* data) {
    auto* l = static_cast<Lookup*>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& p = info->dlpi_phdr[i];
        const uintptr_t start = info->dlpi_addr + p.p_vaddr;
        if (p.p_type == PT_LOAD && l->address >= start && l->address < start + p.p_memsz) {
            l->path = info->dlpi_name && *info->dlpi_name ? info->dlpi_name : "/proc/self/exe";
            l->bias = info->dlpi_addr;
            l->found = true;
            return 1;
        }
    }
    return 0;
}

ModuleSymbols read_symbols(const std::string& path) {
    ModuleSymbols m;
    std::ifstream f(path, std::ios::binary);
    const std::vector<char> image((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (image.size() < sizeof(Elf64_Ehdr) || std::memcmp(image.data(), ELFMAG, SELFMAG) != 0) return m;
    const auto* eh = reinterpret_cast<const Elf64_Ehdr*>(image.data());
    if (eh->e_shoff == 0 || eh->e_shoff + (size_t)eh->e_shnum * sizeof(Elf64_Shdr) > image.size()) return m;
    const auto* sh = reinterpret_cast<const Elf64_Shdr*>(image.data() + eh->e_shoff);
    const auto in_image = [&](const Elf64_Shdr& s) { return s.sh_offset + s.sh_size <= image.size(); };
    if (eh->e_shstrndx >= eh->e_shnum || !in_image(sh[eh->e_shstrndx])) return m;
    const char* section_names = image.data() + sh[eh->e_shstrndx].sh_offset;
    int smem_section = -1, symtab = -1;
    for (int i = 0; i < eh->e_shnum; ++i) {
        if (sh[i].sh_name < sh[eh->e_shstrndx].sh_size &&
            std::strcmp(section_names + sh[i].sh_name, "vyr_smem") == 0)
            smem_section = i;
        if (sh[i].sh_type == SHT_SYMTAB) symtab = i;
    }
    if (symtab < 0 || !in_image(sh[symtab]) || sh[symtab].sh_link >= eh->e_shnum ||
        !in_image(sh[sh[symtab].sh_link]))
        return m;
    const auto* syms = reinterpret_cast<const Elf64_Sym*>(image.data() + sh[symtab].sh_offset);
    const size_t count = sh[symtab].sh_size / sizeof(Elf64_Sym);
    const char* names = image.data() + sh[sh[symtab].sh_link].sh_offset;
    const size_t names_size = sh[sh[symtab].sh_link].sh_size;
    for (size_t i = 0; i < count; ++i) {
        if (syms[i].st_name >= names_size) continue;
        const char* name = names + syms[i].st_name;
        if (ELF64_ST_TYPE(syms[i].st_info) == STT_FUNC && syms[i].st_value != 0)
            m.functions.emplace(syms[i].st_value, name);
        else if (smem_section >= 0 && syms[i].st_shndx == smem_section &&
                 ELF64_ST_TYPE(syms[i].st_info) == STT_OBJECT)
            m.shared_vars.emplace_back(name, syms[i].st_size);
    }
    return m;
}

// The prefix of the mangled names of a function's local statics.
std::string local_prefix(const std::string& function) {
    if (function.compare(0, 2, "_Z") == 0) return "_ZZ" + function.substr(2) + "E";
    return "_ZZ" + std::to_string(function.size()) + function + "E";  // extern "C": its plain name
}

}  // namespace

size_t static_shared_bytes(const void* fn) {
    static std::mutex mutex;
    static auto* modules = new std::map<std::string, ModuleSymbols>();
    Lookup l{reinterpret_cast<uintptr_t>(fn), {}};
    dl_iterate_phdr(find_module, &l);
    if (!l.found) return 0;
    std::lock_guard<std::mutex> lock(mutex);
    auto it = modules->find(l.path);
    if (it == modules->end()) it = modules->emplace(l.path, read_symbols(l.path)).first;
    const ModuleSymbols& m = it->second;
    auto f = m.functions.find(l.address - l.bias);
    if (f == m.functions.end()) return 0;
    const std::string prefix = local_prefix(f->second);
    size_t bytes = 0;
    for (const auto& [name, size] : m.shared_vars)
        if (name.compare(0, prefix.size(), prefix) == 0) bytes += (size + 15) / 16 * 16;
    return bytes;
}

}  // namespace vyr_sim
