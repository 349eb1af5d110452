// Quicksorts of integer arrays. Hoare partition around the middle element: equal keys stop both
// scans, so runs of equal values split evenly instead of degrading. The recursion goes into the
// smaller side and loops on the larger, so the stack stays logarithmic; a depth budget switches
// a range that keeps splitting badly (organ pipes and other adversarial orders) to heapsort, so
// the time stays n log n.
#include "core/math.h"

namespace {

template <typename T, bool descending>
inline bool sort_before(T a, T b) {
  return descending ? b < a : a < b;
}

template <typename T>
inline void sort_swap(T *a, T *b) {
  T t = *a;
  *a = *b;
  *b = t;
}

template <typename T, bool descending>
void sort_insertion(T *a, u64 first, u64 last) {
  for (u64 k = first + 1; k <= last; k++) {
    T v = a[k];
    u64 m = k;
    while (m > first && sort_before<T, descending>(v, a[m - 1])) {
      a[m] = a[m - 1];
      m--;
    }
    a[m] = v;
  }
}

template <typename T, bool descending>
void sort_sift_down(T *a, u64 root, u64 n) {
  for (;;) {
    u64 child = 2 * root + 1;
    if (child >= n) return;
    if (child + 1 < n && sort_before<T, descending>(a[child], a[child + 1])) child++;
    if (!sort_before<T, descending>(a[root], a[child])) return;
    sort_swap(&a[root], &a[child]);
    root = child;
  }
}

template <typename T, bool descending>
void sort_heap(T *a, u64 n) {
  for (u64 k = n / 2; k-- > 0;) sort_sift_down<T, descending>(a, k, n);
  for (u64 end = n - 1; end > 0; end--) {
    sort_swap(&a[0], &a[end]);
    sort_sift_down<T, descending>(a, 0, end);
  }
}

// Short ranges are faster by insertion than by further partitioning.
const u64 sort_insertion_limit = 16;

template <typename T, bool descending>
void sort_quick(T *a, u64 first, u64 last, u32 budget) {
  while (first < last) {
    if (last - first < sort_insertion_limit) {
      sort_insertion<T, descending>(a, first, last);
      return;
    }
    if (budget == 0) {
      sort_heap<T, descending>(a + first, last - first + 1);
      return;
    }
    budget--;
    T pivot = a[first + (last - first) / 2];
    u64 i = last, j = first;
    // Both scans stop at the pivot's value, so neither can leave [first, last]; the split point
    // i ends below last, so both sides are smaller than the range.
    for (;;) {
      while (sort_before<T, descending>(a[j], pivot)) j++;
      while (sort_before<T, descending>(pivot, a[i])) i--;
      if (j >= i) break;
      sort_swap(&a[j], &a[i]);
      i--;
      j++;
    }
    if (i - first < last - i) {
      sort_quick<T, descending>(a, first, i, budget);
      first = i + 1;
    } else {
      sort_quick<T, descending>(a, i + 1, last, budget);
      last = i;
    }
  }
}

template <typename T, bool descending>
void sort_range(T *a, u64 first, u64 last) {
  if (!a || first >= last) return;
  u32 budget = 0;
  for (u64 n = last - first + 1; n > 1; n >>= 1) budget += 2;
  sort_quick<T, descending>(a, first, last, budget);
}

}  // namespace

void sort_u8_ascending_range(u8 *array, u64 first, u64 last) { sort_range<u8, false>(array, first, last); }
void sort_u8_descending_range(u8 *array, u64 first, u64 last) { sort_range<u8, true>(array, first, last); }
void sort_u32_ascending_range(u32 *array, u64 first, u64 last) { sort_range<u32, false>(array, first, last); }
void sort_u32_descending_range(u32 *array, u64 first, u64 last) { sort_range<u32, true>(array, first, last); }
void sort_u64_ascending_range(u64 *array, u64 first, u64 last) { sort_range<u64, false>(array, first, last); }
void sort_u64_descending_range(u64 *array, u64 first, u64 last) { sort_range<u64, true>(array, first, last); }

void sort_u8_ascending(u8 *array, u64 count) {
  if (count) sort_u8_ascending_range(array, 0, count - 1);
}
void sort_u8_descending(u8 *array, u64 count) {
  if (count) sort_u8_descending_range(array, 0, count - 1);
}
void sort_u32_ascending(u32 *array, u64 count) {
  if (count) sort_u32_ascending_range(array, 0, count - 1);
}
void sort_u32_descending(u32 *array, u64 count) {
  if (count) sort_u32_descending_range(array, 0, count - 1);
}
void sort_u64_ascending(u64 *array, u64 count) {
  if (count) sort_u64_ascending_range(array, 0, count - 1);
}
void sort_u64_descending(u64 *array, u64 count) {
  if (count) sort_u64_descending_range(array, 0, count - 1);
}
