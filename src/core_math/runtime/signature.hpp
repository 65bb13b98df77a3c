// A function's parameters as the module publishes them: names and default
// values.  Plain C++, so that the limit of argument binding is checked where
// a signature is written, when it is compiled.
#pragma once

#include <array>
#include <cstddef>
#include <optional>

namespace core_math {

// A default value as written in a signature: an int, a float or a string.
class Literal {
 public:
  enum class Kind { integer, real, text };

  constexpr Literal(int value) : kind_(Kind::integer), integer_(value) {}    // NOLINT: written as the value
  constexpr Literal(double value) : kind_(Kind::real), real_(value) {}       // NOLINT
  constexpr Literal(const char* value) : kind_(Kind::text), text_(value) {}  // NOLINT

  constexpr Kind kind() const { return kind_; }
  constexpr int integer() const { return integer_; }
  constexpr double real() const { return real_; }
  constexpr const char* text() const { return text_; }

 private:
  Kind kind_;
  int integer_ = 0;
  double real_ = 0.0;
  const char* text_ = nullptr;
};

struct Param {
  const char* name = nullptr;
  std::optional<Literal> default_value = std::nullopt;
};

// Argument binding fills arrays of this many parameters on the stack.
constexpr std::size_t kMaxParams = 9;

// The parameters of one function, in order.
class Parameters {
 public:
  template <std::size_t N>
  constexpr Parameters(const Param (&params)[N]) : size_(N) {  // NOLINT: converts the list a signature is written as
    static_assert(N <= kMaxParams, "argument binding holds kMaxParams parameters: raise kMaxParams");
    for (std::size_t i = 0; i < N; ++i) params_[i] = params[i];
  }

  constexpr std::size_t size() const { return size_; }
  constexpr const Param& operator[](std::size_t i) const { return params_[i]; }
  constexpr const Param* begin() const { return params_.data(); }
  constexpr const Param* end() const { return params_.data() + size_; }

 private:
  std::array<Param, kMaxParams> params_{};
  std::size_t size_;
};

}  // namespace core_math
