#include "numeric/finite.h"

#include <cmath>
#include <string>

#include "support/error.h"
#include "support/simd.h"

namespace torvel {

TORVEL_VECTOR_CLONES
bool all_finite(const double* values, std::size_t n) {
  std::uint64_t non_finite = 0;
  for (std::size_t i = 0; i < n; ++i) non_finite |= not_finite(values[i]);
  return non_finite == 0;
}

void check_all_finite(const double* values, std::size_t n, const char* name,
                      bool with_estimator_hint) {
  if (all_finite(values, n)) return;
  bool has_nan = false;
  for (std::size_t i = 0; i < n && !has_nan; ++i) has_nan = std::isnan(values[i]);
  std::string message = std::string("Input ") + name + " contains ";
  if (has_nan) {
    message += "NaN.";
    if (with_estimator_hint) {
      message +=
          "\nLinearRegression does not accept missing values encoded as NaN natively. For "
          "supervised learning, you might want to consider "
          "sklearn.ensemble.HistGradientBoostingClassifier and Regressor which accept "
          "missing values encoded as NaNs natively. Alternatively, it is possible to "
          "preprocess the data, for instance by using an imputer transformer in a pipeline "
          "or drop samples with missing values. See "
          "https://scikit-learn.org/stable/modules/impute.html You can find a list of all "
          "estimators that handle NaN values at the following page: "
          "https://scikit-learn.org/stable/modules/impute.html"
          "#estimators-that-handle-nan-values";
    }
  } else {
    message += "infinity or a value too large for dtype('float64').";
  }
  raise_value_error(message);
}

}  // namespace torvel
