// The arithmetic contract of every file that computes: each floating-point
// operation is carried out as written, in double precision, rounded once,
// in the order written.  numpy computes that way, and the native loops give
// numpy's bits only because they do too.  The floating-point watch further
// needs every operation to raise its flags where it stands.
//
// The compiler options that break the contract announce themselves, and
// stop the build here.  Contracting a * b + c into one fused multiply-add
// announces nothing; the build instead searches the finished extension for
// fused instructions (tools/fused_arithmetic.py, run by CMakeLists.txt).
#pragma once

#if defined(__FAST_MATH__) || defined(__ASSOCIATIVE_MATH__) || defined(__RECIPROCAL_MATH__) || \
    defined(__NO_SIGNED_ZEROS__) || (defined(__FINITE_MATH_ONLY__) && __FINITE_MATH_ONLY__)
#error "core_math must be built without fast-math: reassociated sums, reciprocals and lost signed zeros or NaNs change numpy's bits"
#endif

#if defined(__NO_TRAPPING_MATH__)
#error "core_math must be built with trapping math: the floating-point watch reads the flags each operation raises"
#endif

#if defined(__FLT_EVAL_METHOD__) && __FLT_EVAL_METHOD__ != 0
#error "core_math must round every double operation to double: build for SSE2 arithmetic, not x87"
#endif
