// What the parts of the simulated backend share between their files.
#pragma once

namespace wince::sim::detail {

// Drops every registered line and takes the simulated device opener away.
void forgetLines();
// Lets every Sleep last as long as asked again.
void restoreSleeps();

}  // namespace wince::sim::detail
