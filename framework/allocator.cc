#include <cstdlib>
#include <new>

#include "framework/framework.h"

namespace ZELK {
namespace {

// Every block carries a small header in front: the tracking form records its caller's
// source name and line there, which a debugger or leak dump can show.
struct BlockHeader {
    const char* file;
    unsigned int line;
    unsigned int size;
};
constexpr std::size_t kHeader = alignof(std::max_align_t);
static_assert(sizeof(BlockHeader) <= kHeader, "the header keeps blocks aligned");

thread_local unsigned int t_failCountdown = 0;
thread_local long t_live = 0;

unsigned char* Allocate(unsigned int size, const char* file, unsigned int line) {
    if (t_failCountdown != 0 && --t_failCountdown == 0) return nullptr;
    void* raw = std::malloc(kHeader + std::size_t(size));
    if (!raw) return nullptr;
    auto* h = static_cast<BlockHeader*>(raw);
    h->file = file;
    h->line = line;
    h->size = size;
    ++t_live;
    return static_cast<unsigned char*>(raw) + kHeader;
}

}  // namespace

unsigned char* MyMemAlloc(unsigned int size) { return Allocate(size, nullptr, 0); }

unsigned char* MyMemAlloc(unsigned int size, const char* file, unsigned int line) {
    return Allocate(size, file, line);
}

void MyMemFree(void* p) {
    if (!p) return;
    --t_live;
    std::free(static_cast<unsigned char*>(p) - kHeader);
}

unsigned int FailNthAllocation(unsigned int n) {
    const unsigned int left = t_failCountdown;
    t_failCountdown = n;
    return left;
}

long LiveAllocations() { return t_live; }

}  // namespace ZELK
