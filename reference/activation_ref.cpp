#include "activation_ref.h"

#include <algorithm>
#include <cmath>

namespace vyr_ref {

double sigmoid(double x) {
    return 1.0 / (1.0 + std::exp(-x));
}

double activation(int a, double x) {
    switch (a) {
        case 0:
            return x;
        case 1:
            return x * sigmoid(x);
        case 2:
            return std::isnan(x) ? 3.5 : std::min(x * sigmoid(x), 3.5);
        case 3:
            return std::tanh(x);
        case 4:
            return 5.0 * std::tanh(x);
    }
    return NAN;
}

}  // namespace vyr_ref
