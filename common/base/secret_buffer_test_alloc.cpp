// Replaces the array allocator for the SecretBuffer tests (in a file of its own, so
// the compiler never pairs our malloc-based operator new[] with a delete[] it sees).
#include <cstddef>
#include <cstdlib>
#include <new>

// Every array block freed while `g_watch` is set is checked for bytes left behind.
// Sizes are kept in a header in front of the block, so the check sees the whole
// allocation.
bool g_watch = false;
int g_freed_blocks = 0;
int g_dirty_blocks = 0;

void* operator new[](std::size_t n) {
  auto* p = static_cast<std::size_t*>(std::malloc(n + sizeof(std::max_align_t)));
  if (p == nullptr) throw std::bad_alloc();
  *p = n;
  return reinterpret_cast<char*>(p) + sizeof(std::max_align_t);
}
void operator delete[](void* q) noexcept {
  if (q == nullptr) return;
  char* base = static_cast<char*>(q) - sizeof(std::max_align_t);
  const std::size_t n = *reinterpret_cast<std::size_t*>(base);
  if (g_watch) {
    ++g_freed_blocks;
    for (std::size_t i = 0; i < n; ++i) {
      if (static_cast<unsigned char*>(q)[i] != 0) {
        ++g_dirty_blocks;
        break;
      }
    }
  }
  std::free(base);
}
void operator delete[](void* q, std::size_t) noexcept {
  operator delete[](q);
}
