#pragma once
// Closed-form ground truth of a voxel: every compartment of the tissue model is Gaussian, so the
// maps that diffusion models estimate (DTI/DKI, QTI, MAP-MRI, GQI, NODDI) have exact values for
// a known mixture. All arithmetic is float64; only the whole-field maps are narrowed to float32.
#include <array>
#include <cstddef>
#include <utility>
#include <vector>

#include "mixture/mixture.hpp"
#include "core/params.hpp"

namespace quorvel::microstructure {

// The ground-truth maps in output order (the order of `scalar_names()` and `Mixture.scalars()`).
inline constexpr std::array<const char*, 27> kScalarNames = {
    "fa", "md", "rd", "ad", "ak", "rk", "mk", "mkt", "kfa",                        // DTI, DKI
    "micro_fa", "coherence", "k_bulk", "k_shear",                                  // QTI
    "rtop", "rtap", "rtpp", "msd", "qiv",                                          // MAP-MRI
    "ng", "ngpar", "ngperp", "pa",                                                 // non-Gaussianity
    "gfa", "qa",                                                                   // GQI
    "icvf", "odi", "isovf",                                                        // NODDI
};
inline constexpr std::size_t kNumScalars = kScalarNames.size();
inline constexpr std::size_t kNumVoxelScalars = 24;  // fa .. qa: what `voxel_scalars` returns

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<double, 9>;      // row-major
using Tensor4 = std::array<double, 81>;  // (i, j, k, l) at ((i*3 + j)*3 + k)*3 + l

// One voxel as weighted Gaussian compartments: a stick and a zeppelin per vertex, and balls.
// Weights are absolute voxel fractions, never renormalised.
struct VoxelMixture {
    std::vector<Vec3> vertices;                   // unit orientation per vertex
    std::vector<double> intra;                    // stick weight per vertex
    std::vector<double> extra;                    // zeppelin weight per vertex
    std::vector<std::pair<double, double>> iso;   // balls: (fraction, diffusivity mm^2/s)
    double d_intra = 0.0;                         // mm^2/s, stick and zeppelin parallel diffusivity
    double d_perp = 0.0;                          // mm^2/s, zeppelin perpendicular diffusivity
};

struct Moments {
    Mat3 mean;     // mean compartment tensor D̄
    Tensor4 cov;   // covariance of the compartment tensors
};

struct Eigen3 {
    std::array<double, 3> values;  // descending
    Mat3 vectors;                  // column c is the unit eigenvector of values[c]
};

// The four tuning values shared by every voxel.
struct ScalarOptions {
    double tau = 0.025330295910584444;  // s, diffusion time; 1/(4π²)
    double d_perp_floor = 0.00012;      // mm^2/s, stick perpendicular diffusivity in MAP-MRI
    double ng_floor = 0.00012;          // mm^2/s, diffusivity floor of the non-Gaussianity
    std::size_t ng_top_k = 28;          // vertices entering the non-Gaussianity
};

// Per-task scratch, reused from voxel to voxel so the per-voxel chain allocates nothing once it
// has grown.
struct Workspace {
    VoxelMixture mixture;
    std::vector<std::size_t> order;  // vertex ranking of the non-Gaussianity
    std::vector<double> weights;     // component weights of the non-Gaussianity
    std::vector<Mat3> tensors;       // component tensors of the non-Gaussianity
    std::vector<double> along;                   // their variance along the principal axis
    std::vector<std::array<double, 3>> across;   // their 2x2 block across it (uu, uv, vv)
};

// ---- the voxel mixture, moments and eigen-solver (microstructure.cpp) ----

// Parameters blended toward the adult preset by myelination m: p + (p_adult - p)*m for
// intra_frac, extra_frac, d_intra and d_extra; the others as stored.
CompartmentParams myelin_blend(const CompartmentParams& p, double m);

// Fills `out` with voxel v of the field (myelin blending, fallback ball); returns the effective
// intra-axonal fraction used.
double mixture_from_field(const mixture::MixtureField& field, std::size_t v, VoxelMixture& out);

// The mixture of explicit directions (normalised here) and weights; wm, gm, csf already sum to 1.
VoxelMixture mixture_from_directions(const std::vector<Vec3>& dirs, const std::vector<double>& weights, double wm,
                                     double gm, double csf, const CompartmentParams& p);

// Mean tensor and covariance of the compartment tensors (weights unnormalised).
Moments moments(const VoxelMixture& mix);

// Cyclic Jacobi eigen-decomposition of a symmetric 3x3 matrix; NaN everywhere for non-finite input.
Eigen3 eigh3(const Mat3& a);

// Component (i, j, k, l) of the fourth-order tensor w in the frame whose axes are the columns of r.
double w_rotated(const Tensor4& w, const Mat3& r, int i, int j, int k, int l);

// ---- DTI and DKI (dki.cpp) ----

struct DkiScalars {
    double fa, md, rd, ad, ak, rk, mk, mkt, kfa;
    std::array<double, 3> eigenvalues;  // of D̄, descending
    // W1111 W2222 W3333 W1112 W1113 W1222 W2223 W1333 W2333 W1122 W1133 W2233 W1123 W1223 W1233
    std::array<double, 15> w;
};

DkiScalars dki_scalars(const Mat3& mean, const Tensor4& cov);
// The mean-kurtosis weights F1 and F2 in the eigenframe; a difference equal to the tolerance
// counts as distinct eigenvalues.
double f1m(double l1, double l2, double l3);
double f2m(double l1, double l2, double l3);
// Carlson's symmetric elliptic integrals R_F(x, y, 1) and R_D(x, y, 1).
double carlson_rf(double x, double y);
double carlson_rd(double x, double y);

// ---- QTI, propagator, GQI, non-Gaussianity (propagator.cpp) ----

// micro_fa, coherence, k_bulk, k_shear.
std::array<double, 4> qti_scalars(const Mat3& mean, const Tensor4& cov);
// rtop, rtap, rtpp, msd, qiv; e1 is the unit principal eigenvector of D̄.
std::array<double, 5> mapmri_scalars(const VoxelMixture& mix, const Mat3& mean, const Vec3& e1, double tau,
                                     double d_perp_floor);
// gfa, qa.
std::array<double, 2> gqi_scalars(const VoxelMixture& mix);
// ng, ngpar, ngperp, pa.
std::array<double, 4> ng_pa_scalars(const VoxelMixture& mix, double ng_floor, std::size_t ng_top_k);
std::array<double, 4> ng_pa_scalars(const VoxelMixture& mix, double ng_floor, std::size_t ng_top_k, Workspace& ws);

// ---- Watson table and NODDI-type fractions (noddi.cpp) ----

// The Watson table: 241 (kappa, mean cos²) pairs, kappa from 1e-3 to 1e3; built once per process.
const std::array<std::pair<double, double>, 241>& watson_table();
// Orientation dispersion index of the Watson distribution matching the scatter of the directions.
double watson_odi(const std::vector<Vec3>& dirs, const std::vector<double>& weights);
// icvf, odi, isovf of a voxel mixture filled with the (effective) intra-axonal fraction.
std::array<double, 3> noddi_fractions(const VoxelMixture& mix, double wm, double gm, double csf, double intra_frac);

// ---- assembly (microstructure.cpp) ----

// fa .. qa of one voxel mixture.
std::array<double, kNumVoxelScalars> voxel_scalars(const VoxelMixture& mix, const ScalarOptions& opt);
std::array<double, kNumVoxelScalars> voxel_scalars(const VoxelMixture& mix, const ScalarOptions& opt,
                                                   Workspace& ws);

// The 27 maps of every voxel of the field, float32, computed on the worker pool; voxels with
// an empty tissue sum stay 0.
std::array<std::vector<float>, kNumScalars> field_scalars(const mixture::MixtureField& field,
                                                          const ScalarOptions& opt);

// The 27 scalars of one voxel with exact fibre directions; the fractions are normalised here
// (InvalidInput "fractions must sum to a positive value" otherwise).
std::array<double, kNumScalars> voxel_truth(const std::vector<Vec3>& dirs, const std::vector<double>& weights,
                                            double wm, double gm, double csf, const CompartmentParams& p,
                                            const ScalarOptions& opt);

}  // namespace quorvel::microstructure
