// Exact activations in double, the oracle for every kernel that applies one.
#pragma once

namespace vyr_ref {

double sigmoid(double x);
// a: a VyrActivation value, 0..4.
double activation(int a, double x);

}  // namespace vyr_ref
