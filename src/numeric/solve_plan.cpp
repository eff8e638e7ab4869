#include "numeric/solve_plan.h"

#include <atomic>

#include "numeric/probes.h"

namespace torvel {
namespace {

std::atomic<const SolvePlan*> forced_plan{nullptr};

}  // namespace

const SolvePlan& probed_solve_plan() {
  static const SolvePlan probed = [] {
    const PlainProducts products = probe_plain_products();
    SolvePlan plan;
    plan.inline_two_column_products = products.two_columns;
    plan.inline_three_term_products = products.three_terms;
    plan.split_solve = split_gives_single_call_bits();
    plan.written_out_reduction = reduction_gives_single_call_bits();
    return plan;
  }();
  return probed;
}

const SolvePlan& solve_plan() {
  const SolvePlan* forced = forced_plan.load(std::memory_order_acquire);
  return forced ? *forced : probed_solve_plan();
}

ForcedSolvePlan::ForcedSolvePlan(const SolvePlan& plan) : plan_(plan) {
  forced_plan.store(&plan_, std::memory_order_release);
}

ForcedSolvePlan::~ForcedSolvePlan() { forced_plan.store(nullptr, std::memory_order_release); }

}  // namespace torvel
