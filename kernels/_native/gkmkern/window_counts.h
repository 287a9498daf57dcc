// Integer counts over a run of consecutive windows, each window a row of
// cells. A pair of L-mers counts in every window that holds both, and those
// windows are consecutive: it adds to two rows of differences, and one
// prefix sum over the rows then gives every window its counts.
#ifndef GKM_WINDOW_COUNTS_H
#define GKM_WINDOW_COUNTS_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

class window_counter {
public:
    // n_windows rows of stride cells, all zero; throws std::bad_alloc.
    void reset(int n_windows, size_t stride)
    {
        stride_ = stride;
        diff_.assign((size_t)(n_windows + 1) * stride, 0);
    }

    void clear() { std::fill(diff_.begin(), diff_.end(), 0); }

    // Where a pair whose first window is `first` adds, and where one whose
    // last window is `last` takes away, cell by cell.
    int32_t* opening(int first) { return diff_.data() + (size_t)first * stride_; }
    int32_t* closing(int last) { return diff_.data() + (size_t)(last + 1) * stride_; }

    // value in cell `cell` of windows [first, last].
    void add(int first, int last, size_t cell, int32_t value)
    {
        opening(first)[cell] += value;
        closing(last)[cell] -= value;
    }

    // Turns the differences into each window's counts, row w at w * stride.
    const int32_t* counts()
    {
        const size_t rows = diff_.size() / stride_ - 1;
        for (size_t w = 1; w < rows; w++)
            for (size_t c = 0; c < stride_; c++) diff_[w * stride_ + c] += diff_[(w - 1) * stride_ + c];
        return diff_.data();
    }

private:
    size_t stride_ = 1;
    std::vector<int32_t> diff_;
};

#endif  // GKM_WINDOW_COUNTS_H
