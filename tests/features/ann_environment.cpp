// Closes the ANN library after the last test, so that leak checks see only our own allocations.
#include <ANN/ANN.h>
#include <gtest/gtest.h>

namespace {

class AnnEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { annClose(); }
};

[[maybe_unused]] ::testing::Environment* const kAnnEnvironment =
    ::testing::AddGlobalTestEnvironment(new AnnEnvironment);

}  // namespace
