// What each system gives the platform layer's shared code. Private to
// platform/: one implementation per system, chosen by the build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace brenzolt::sys {

// Writes the whole range, retrying interrupted and partial writes; 0, or the
// system's error number.
int writeAll(int fd, const char* data, std::size_t size);

// Reads up to `size` bytes, at `offset` when it is not negative (without
// moving the file position, so that threads may share the file); the bytes
// read, 0 at the end of the file, -1 on an error, which `error` then holds.
std::int64_t readSome(int fd, void* buffer, std::size_t size, std::int64_t offset, int& error);

// One line of input with its line feed, read without taking anything after
// it; the end of input ends the line too, without one.
std::string readLine(int fd);

// The descriptor, or -1 when the caller of the program left it closed.
int descriptorIfOpen(int fd);
bool isTerminal(int fd);
void closeDescriptor(int fd);

// The system's words for an error number.
std::string reasonOf(int error);

} // namespace brenzolt::sys
