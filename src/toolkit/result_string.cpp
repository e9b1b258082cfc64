#include "toolkit/result_string.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace talir {

const char kOutOfMemory[] = "Error: out of memory.";
const char kUnexpectedFailure[] = "Error: unexpected failure.";

char* ToResultString(std::string&& text) {
    const std::size_t length = std::strlen(text.c_str());
    char* block = static_cast<char*>(std::malloc(length + 1));
    if (block == nullptr) throw std::bad_alloc();
    std::memcpy(block, text.c_str(), length + 1);
    std::string().swap(text);
    return block;
}

void FreeResultString(void* text) noexcept {
    if (text == kOutOfMemory || text == kUnexpectedFailure) return;
    std::free(text);
}

}  // namespace talir
