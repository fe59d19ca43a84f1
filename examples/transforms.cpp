// Transforms: building, composing and applying PGL4 matrices.
#include <array>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <numbers>

#include <nemra_kernel/nemra_kernel.hpp>

namespace {

bool near(double a, double b) { return std::fabs(a - b) < 1e-12; }

}  // namespace

int main() {
  using nemra_kernel::HomVec4;
  using nemra_kernel::PGL4;
  using nemra_kernel::pglRotateZ;
  using nemra_kernel::pglScale;
  using nemra_kernel::pglTranslate;

  // In PGL4::mul(a, b) the factor b acts first: this scales, then rotates, then translates.
  const PGL4 model =
      PGL4::mul(pglTranslate(10.0, 0.0, 0.0),
                PGL4::mul(pglRotateZ(std::numbers::pi / 2), pglScale(2.0, 2.0, 2.0)));
  const auto p = model.apply(HomVec4::fromCartesian(1.0, 0.0, 0.0)).cartesian3();
  // (1, 0, 0) → scaled (2, 0, 0) → rotated (0, 2, 0) → translated (10, 2, 0).
  std::printf("model·(1, 0, 0) = (%g, %g, %g)\n", p[0], p[1], p[2]);

  // A matrix written as rows, checked when the program is built: a singular one does not compile.
  constexpr PGL4 shear = nemra_kernel::pglFromHomogeneous(
      {{{1.0, 0.5, 0.0, 0.0}, {0.0, 1.0, 0.0, 0.0}, {0.0, 0.0, 1.0, 0.0}, {0.0, 0.0, 0.0, 1.0}}});
  static_assert(shear.det() == 1.0);

  // The inverse is iterative: a budget of iterations, and a shift delta (0 for a plain inverse).
  const PGL4 undo = model.inverse(0.0, 50);
  const auto back = undo.apply(model.apply(HomVec4::fromCartesian(1.0, 2.0, 3.0))).cartesian3();
  std::printf("inverse·model·(1, 2, 3) = (%.15g, %.15g, %.15g)\n", back[0], back[1], back[2]);

  // A projective matrix is defined up to a factor: normalizeDet scales it to determinant ±1.
  const double det = model.normalizeDet().det();
  std::printf("det after normalizeDet = %.15g\n", det);

  // The operators give the same bits as the named calls: a * b is PGL4::mul(a, b), m * v is
  // m.apply(v). A chain groups from the left, and rounding makes grouping matter to the last bit:
  // parenthesise as the named calls nest to get their bits.
  const PGL4 same =
      pglTranslate(10.0, 0.0, 0.0) * (pglRotateZ(std::numbers::pi / 2) * pglScale(2.0, 2.0, 2.0));
  const HomVec4 moved = same * HomVec4::fromCartesian(1.0, 0.0, 0.0);

  // A camera: the view moves the eye to the origin looking down -z, the projection maps the depths
  // near..far to -1..1 after the division by w.
  const PGL4 view = nemra_kernel::pglLookAt({0.0, 0.0, 5.0}, {0.0, 0.0, 0.0}, {0.0, 1.0, 0.0});
  const PGL4 projection =
      nemra_kernel::pglPerspective(std::numbers::pi / 3, 16.0 / 9.0, 1.0, 100.0);
  const HomVec4 clip = projection * view * HomVec4::fromCartesian(0.0, 0.0, 4.0);  // depth 1: near

  // Batch forms give each point the single call's bits; the output may be the input itself.
  std::array<HomVec4, 3> points{HomVec4::fromCartesian(1.0, 0.0, 0.0),
                                HomVec4::fromCartesian(0.0, 1.0, 0.0),
                                HomVec4::fromCartesian(0.0, 0.0, 1.0)};
  model.applyMany(points, points);

  // Whether the iteration converged, or spent its budget.
  const nemra_kernel::InverseReport report = model.inverseWithReport(0.0, 50);
  std::cout << "inverse after " << report.iterations << " iterations, residual " << report.residual
            << (report.converged ? ", converged\n" : ", budget spent\n");

  // Printing uses the shortest digits that read back to the same double.
  std::cout << "model =\n" << model << "\nmodel·(1, 0, 0) = " << moved << '\n';

  const bool ok = near(p[0], 10.0) && near(p[1], 2.0) && near(p[2], 0.0) && near(back[0], 1.0) &&
                  near(back[1], 2.0) && near(back[2], 3.0) && near(det, 1.0) && same == model &&
                  moved == model.apply(HomVec4::fromCartesian(1.0, 0.0, 0.0)) &&
                  near(clip.z / clip.w, -1.0) && points[0] == moved && report.converged &&
                  report.inverse == undo;
  return ok ? 0 : 1;
}
