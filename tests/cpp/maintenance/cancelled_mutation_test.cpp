// A mutation that is stopped changes nothing; one that is not stopped before
// its install completes.
#include <gtest/gtest.h>

#include <functional>

#include "index/build.h"
#include "maintenance/maintenance_test_util.h"
#include "maintenance/promote.h"
#include "maintenance/refresh.h"
#include "pool/cancel.h"
#include "../index/test_index.h"

namespace vb::maintenance {
namespace {

using testing::Snapshot;

// Answers every poll with `stop`, counting them.
struct Answer {
  int calls = 0;
  bool stop;
  static bool poll(void* self) {
    auto* p = static_cast<Answer*>(self);
    ++p->calls;
    return p->stop;
  }
};

void build_first(index::Index& ix) { index::build(ix, index::testing::random_points(60, 3, 72), 60, 3, 35); }

struct Mutation {
  const char* name;
  std::function<void(index::Index&)> run;
};

class StoppedMutation : public ::testing::TestWithParam<bool> {};

// However short the call, its install polls first: a stop asked for just
// before it still leaves the index as it was. (That nothing polls once the
// install began is the pool's CommitScope test.)
TEST_P(StoppedMutation, ChangesNothingWhenStoppedAndCompletesOtherwise) {
  const bool stop_asked = GetParam();
  const Buffer<double> coords = index::testing::random_points(25, 3, 73);
  const Buffer<double> batch = index::testing::random_points(10, 3, 74);
  const Mutation mutations[] = {
      {"update", [&](index::Index& ix) { update(ix, coords); }},
      {"promote", [&](index::Index& ix) { promote(ix, batch, 10, 3); }},
      {"build", [&](index::Index& ix) { index::build(ix, index::testing::random_points(50, 3, 75), 50, 3, 20); }},
  };
  for (const Mutation& mutation : mutations) {
    SCOPED_TRACE(mutation.name);
    index::Index expected = index::testing::random_index(4, 3, 3, 3, 71);
    build_first(expected);
    mutation.run(expected);
    index::Index ix = index::testing::random_index(4, 3, 3, 3, 71);
    build_first(ix);
    const Snapshot before(ix);
    Answer answer{0, stop_asked};
    {
      pool::ScopedWatch watch(&Answer::poll, &answer);
      if (stop_asked) {
        EXPECT_THROW(mutation.run(ix), pool::Cancelled);
      } else {
        mutation.run(ix);
      }
    }
    EXPECT_GE(answer.calls, 1);
    EXPECT_EQ(Snapshot(ix), stop_asked ? before : Snapshot(expected));
  }
}

INSTANTIATE_TEST_SUITE_P(StopOrGo, StoppedMutation, ::testing::Bool());

}  // namespace
}  // namespace vb::maintenance
