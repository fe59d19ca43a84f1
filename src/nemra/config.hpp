// Included first by every public nemra header: the language check, and NEMRA_API, which marks what
// the libraries export (everything else is built with hidden visibility).
//
// Every public header opens with this include, then guards its body with
//   #if NEMRA_CXX23 && !defined(<its include guard>)
// so that below C++23 the #error here is the only diagnostic: the bodies, whose errors would bury
// it, are skipped.
#ifndef NEMRA_CONFIG_HPP
#define NEMRA_CONFIG_HPP

#if __has_include(<version>)
#include <version>
#endif

#if __cplusplus < 202100L || !defined(__cpp_lib_expected)
#error "nemra needs C++23 (-std=c++23) and a standard library that has <expected>"
#define NEMRA_CXX23 0
#else
#define NEMRA_CXX23 1
#endif

#if defined(__GNUC__)
#define NEMRA_API __attribute__((visibility("default")))
#else
#define NEMRA_API
#endif

#endif
