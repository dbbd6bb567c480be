// Next and previous tab with wrap-around; portable.
#pragma once

// The tab after (step +1) or before (step -1) the current one among count
// tabs: below 0 gives the last tab, at or beyond the count gives tab 0.
inline int SteppedTabIndex(int current, int step, int count) {
  int index = current + step;
  if (index < 0) return count > 0 ? count - 1 : 0;
  if (index >= count) return 0;
  return index;
}
