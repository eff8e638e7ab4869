// A sum with the bits of the plain loop `s = s + t` over its terms in order, each addition
// rounded to double, without paying one addition latency per term.
//
// While the running sum stays inside one binade [2^e, 2^(e+1)), every rounded addition is an
// exact integer addition in units of that binade's ulp u: fl(s + t) = s + rint(t / u), unless
// t / u lies exactly halfway between two integers (then the parity of s decides). So a group
// of terms whose roundings are all unambiguous and whose partial sums provably stay inside
// the binade is added as integers in vector lanes; any other group (the sum near zero, near a
// power of two, a tie, a non-finite or extreme value) is added one term at a time.
#pragma once

#include <cstddef>

namespace torvel {

class SequentialSum {
 public:
  explicit SequentialSum(double start = 0.0) : sum_(start) {}

  // s = s + terms[i] for i = 0 .. n-1, in order.
  void add(const double* terms, std::size_t n);
  // The same for terms that are +0, positive or NaN (squares, say), with less work a group.
  void add_non_negative(const double* terms, std::size_t n);

  double value() const { return sum_; }

 private:
  void add_terms(const double* terms, std::size_t n, bool non_negative);
  double sum_;
};

}  // namespace torvel
