// The operating system's threads, as the worker pool starts them: with a small stack, with signals
// left to the interpreter's threads, and with a name that debuggers and `top` show.
#pragma once

#include <cstddef>
#include <cstdint>
#include <system_error>

namespace wordsieve::os_thread {

// A started thread's handle (pthread_t or a Windows HANDLE).
struct Handle {
  std::uintptr_t value = 0;
};

// Starts a thread that runs entry(argument). Its stack holds at least `stack_size` bytes (rounded
// up to what the system accepts), and it starts with every signal blocked where there are signals,
// so that signals keep going to the threads whose handlers expect them. Returns an empty
// error_code and fills `thread`, or the system's reason why no thread could be started.
std::error_code start(Handle& thread, std::size_t stack_size, void (*entry)(void*),
                      void* argument) noexcept;

// Waits until the thread has ended and frees its handle.
void join(Handle thread) noexcept;

// Names the calling thread where the system keeps thread names (at most 15 bytes are kept).
void set_current_name(const char* name) noexcept;

// The calling process's identifier: differs in a child made by fork().
std::uint64_t process_id() noexcept;

}  // namespace wordsieve::os_thread
