// The printf-format check of the product's formatting functions. mingw-w64's GCC checks the
// "printf" archetype against Microsoft's runtime, which knows no %zu; the product formats with the
// C++ runtime's own printf on every platform, which does, so there the GNU archetype is checked.
// clang knows no gnu_printf.
#pragma once

#if defined(__MINGW32__) && !defined(__clang__)
#define CARDLINK_PRINTF_FORMAT(format_index, first_arg) __attribute__((format(gnu_printf, format_index, first_arg)))
#else
#define CARDLINK_PRINTF_FORMAT(format_index, first_arg) __attribute__((format(printf, format_index, first_arg)))
#endif
