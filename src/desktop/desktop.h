#pragma once

namespace talir {

int CheckAppRunning();
const char* SetSystemProxy(const int* port);
void CleanProxy();
void DeleteAutorun();

}  // namespace talir
