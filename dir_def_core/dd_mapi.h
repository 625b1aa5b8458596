#pragma once
// Determinant and inverse of small dense matrices by their textbook closed forms (permutation expansion,
// adjugate over determinant). Used by the Newton locator on 3x3 normal matrices and their 2x2 minors; the
// cost grows as n!, so they are meant for n <= 4. No singularity check: a singular matrix gives non-finite
// entries. Pure functions, callable from any thread.

#include <array>
#include <vector>

namespace dd_mapi {

using TMatrix = std::vector<std::vector<double>>; // [row][column]

// Determinant of a square matrix (every row holds n values). Throws std::invalid_argument for a ragged matrix.
double matr_det(const TMatrix &m);

// out = inverse of a (out resized to n rows of n values; no allocation when it already has that shape).
// Throws std::invalid_argument for an empty or ragged matrix.
void matr_inverse(const TMatrix &a, TMatrix &out);

using TMatrix3 = std::array<std::array<double, 3>, 3>; // [row][column]

// matr_inverse of a 3x3 matrix in fixed arrays: the same expansion, so the same numbers, without the row
// vectors (the Newton locator's per-iteration form).
void matr_inverse(const TMatrix3 &a, TMatrix3 &out);

} // namespace dd_mapi
