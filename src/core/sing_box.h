#pragma once

namespace talir {

const char* RunSingBox();
void StopSingBox() noexcept;

}  // namespace talir
