// All-pairs matrices of one set against itself: each unordered pair is taken
// from the row of its smaller index and written to both of its cells, so
// that the matrix is symmetric to the bit.
#ifndef GKM_SELF_MATRIX_H
#define GKM_SELF_MATRIX_H

#include <cstddef>

// The first column row i computes: its own in a self matrix, 0 otherwise.
inline int first_column(int i, bool self) { return self ? i : 0; }

// Cell (i, j) of a matrix with rows of `width` cells, and cell (j, i) too
// when mirrored.
inline void write_pair(double* matrix, size_t width, size_t i, size_t j, double value, bool mirrored)
{
    matrix[i * width + j] = value;
    if (mirrored) matrix[j * width + i] = value;
}

#endif  // GKM_SELF_MATRIX_H
