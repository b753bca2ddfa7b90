// KALDO_API marks the calls of the public interface: the only symbols a
// shared build of the library exports. Everything else is hidden.
#pragma once

#if defined(_WIN32) || !defined(__GNUC__)
#define KALDO_API
#else
#define KALDO_API __attribute__((visibility("default")))
#endif
