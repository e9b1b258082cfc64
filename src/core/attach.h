#pragma once

namespace talir {

// Puts a running process into the proxy core's job; returns a result string.
char* AssignToJobObject(unsigned long processId);

}  // namespace talir
