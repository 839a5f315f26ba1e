// The grid solver's energies and minimisers (bodies in progress).
#include "warpGridProcEnergy.h"

#include "base/assertions.h"

namespace Qx::Warper2D::gridsolver {

MultivariateQuadraticBase::~MultivariateQuadraticBase() = default;

MultivariateQuadraticConstraints::MultivariateQuadraticConstraints(double magnetWeight, int, int, int,
                                                                   std::uint8_t const*, int nParms,
                                                                   std::int32_t const*, double const*)
    : _nParms(nParms), _magnetWeight(magnetWeight), _flags(static_cast<std::size_t>(nParms), 0) {}
MultivariateQuadraticConstraints::~MultivariateQuadraticConstraints() = default;
double MultivariateQuadraticConstraints::computeEnergy(double const*, double*) const { return 0.0; }
void MultivariateQuadraticConstraints::computeGradient(double const*, double*) const {}
void MultivariateQuadraticConstraints::computeLineQuadratic(double const*, double const*, double& a, double& b,
                                                            double& c) const {
  a = b = c = 0.0;
}
double MultivariateQuadraticConstraints::computeConstraintEnergy(double const*) const { return 0.0; }
void MultivariateQuadraticConstraints::addConstraintGradient(double const*, double*) const {}
void MultivariateQuadraticConstraints::maskHardConstraints(double*) const {}

MultivariateQuadraticAffine::MultivariateQuadraticAffine(double magnetWeight, int nx, int ny, int step,
                                                         std::uint8_t const* flags, unsigned, IxReadGuard const&,
                                                         int nParms, std::int32_t const* parmIndex,
                                                         double const*, double const* targetSource)
    : MultivariateQuadraticConstraints(magnetWeight, nx, ny, step, flags, nParms, parmIndex, targetSource) {}
MultivariateQuadraticAffine::~MultivariateQuadraticAffine() = default;
double MultivariateQuadraticAffine::computeEnergy(double const*, double*) const { return 0.0; }
void MultivariateQuadraticAffine::computeGradient(double const*, double*) const {}
void MultivariateQuadraticAffine::computeLineQuadratic(double const*, double const*, double& a, double& b,
                                                       double& c) const {
  a = b = c = 0.0;
}
AffineTerm const* MultivariateQuadraticAffine::findTerm(int) const { return nullptr; }

MultivariateQuadraticSimilarity::MultivariateQuadraticSimilarity(double magnetWeight, int nx, int ny, int step,
                                                                 std::uint8_t const* flags, unsigned,
                                                                 IxReadGuard const&, int nParms,
                                                                 std::int32_t const* parmIndex,
                                                                 double const* targetSource)
    : MultivariateQuadraticConstraints(magnetWeight, nx, ny, step, flags, nParms, parmIndex, targetSource) {}
MultivariateQuadraticSimilarity::~MultivariateQuadraticSimilarity() = default;
double MultivariateQuadraticSimilarity::computeEnergy(double const*, double*) const { return 0.0; }
void MultivariateQuadraticSimilarity::computeGradient(double const*, double*) const {}
void MultivariateQuadraticSimilarity::computeLineQuadratic(double const*, double const*, double& a, double& b,
                                                           double& c) const {
  a = b = c = 0.0;
}
SimilarityTerm const* MultivariateQuadraticSimilarity::findTerm(int) const { return nullptr; }

int minimiseQuadratic(MultivariateQuadraticBase const&, double*, int, double, double, bool& converged) {
  converged = false;
  return 0;
}
int minimiseByStepSearch(MultivariateQuadraticBase const&, double*, int, double, double, bool& converged) {
  converged = false;
  return 0;
}

}  // namespace Qx::Warper2D::gridsolver
