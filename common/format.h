// The message formatter: the kit's fixed format strings filled with values.
#ifndef COMMON_FORMAT_H_
#define COMMON_FORMAT_H_

#include <cstdint>
#include <initializer_list>

#include "common/text.h"

// One value for a format conversion.
class FormatArg {
 public:
  enum class Kind { kText, kSigned, kUnsigned, kDouble };

  FormatArg(const char16_t* text) : kind_(Kind::kText), text_(text) {}
  FormatArg(const WideString& text) : kind_(Kind::kText), text_(text.c_str()) {}
  FormatArg(int value) : kind_(Kind::kSigned), signed_(value) {}
  FormatArg(unsigned int value) : kind_(Kind::kUnsigned), unsigned_(value) {}
  FormatArg(unsigned long value) : kind_(Kind::kUnsigned), unsigned_(value) {}
  FormatArg(double value) : kind_(Kind::kDouble), double_(value) {}

  Kind kind() const { return kind_; }
  const char16_t* text() const { return text_; }
  // Integer values convert between signed and unsigned as C's printf does.
  int64_t as_signed() const;
  uint64_t as_unsigned() const;
  double as_double() const { return double_; }

 private:
  Kind kind_;
  const char16_t* text_ = nullptr;
  int64_t signed_ = 0;
  uint64_t unsigned_ = 0;
  double double_ = 0.0;
};

// Fills `format` with `args`. Conversions: %s and %ls take a wide string;
// %d an integer, with an optional zero-padded width (%02d); %x an unsigned
// integer in lowercase hexadecimal; %f a double with six decimals and a
// decimal point whatever the locale; %% a percent sign. The result is never
// cut short. A conversion without a matching argument is copied as it is.
WideString FormatText(const char16_t* format,
                      std::initializer_list<FormatArg> args);

#endif  // COMMON_FORMAT_H_
