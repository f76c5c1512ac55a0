#include "shell/script-dialog-guard.h"

#include <gtest/gtest.h>

namespace korvath {
namespace {

using Verdict = ScriptDialogGuard::Verdict;

// One dialog shown and answered a second later.
Verdict ShowAndAnswer(ScriptDialogGuard& guard, std::int64_t at_ms, bool block = false) {
  const Verdict v = guard.Arrived(at_ms);
  if (v != Verdict::kAnswerAtOnce) guard.Answered(at_ms + 1000, block);
  return v;
}

TEST(ScriptDialogGuard, TheChoiceToBlockComesWithTheSecondDialogInShortSuccessionOnly) {
  ScriptDialogGuard guard;
  EXPECT_EQ(ShowAndAnswer(guard, 0), Verdict::kShow);
  EXPECT_EQ(ShowAndAnswer(guard, 3000), Verdict::kShowWithBlockChoice);

  ScriptDialogGuard slow;
  EXPECT_EQ(ShowAndAnswer(slow, 0), Verdict::kShow);
  // Answered at 1 s; the next one comes more than the span after that.
  EXPECT_EQ(ShowAndAnswer(slow, 1000 + ScriptDialogGuard::kWindowMs), Verdict::kShow);

  // A box left open for a minute: the page asking again right after it is
  // closed still counts as one after another.
  ScriptDialogGuard held;
  EXPECT_EQ(held.Arrived(0), Verdict::kShow);
  held.Answered(60000, false);
  EXPECT_EQ(held.Arrived(60050), Verdict::kShowWithBlockChoice);
}

TEST(ScriptDialogGuard, ChoosingToBlockAnswersEveryFurtherDialogUntilThePageIsLeft) {
  ScriptDialogGuard guard;
  ShowAndAnswer(guard, 0);
  ShowAndAnswer(guard, 100, /*block=*/true);
  EXPECT_EQ(guard.answering_at_once(), ScriptDialogGuard::Reason::kUserBlocked);
  EXPECT_EQ(guard.Arrived(2000), Verdict::kAnswerAtOnce);
  EXPECT_EQ(guard.Arrived(10 * 60 * 1000), Verdict::kAnswerAtOnce);
  guard.PageLeft();
  EXPECT_FALSE(guard.answering_at_once());
  EXPECT_EQ(guard.Arrived(10 * 60 * 1000 + 1), Verdict::kShow);
}

TEST(ScriptDialogGuard, FiveDialogsWithinTenSecondsSilenceThePageFromTheSixthOn) {
  ScriptDialogGuard guard;
  for (int i = 0; i < ScriptDialogGuard::kStormDialogs; ++i)
    EXPECT_NE(guard.Arrived(i * 1900), Verdict::kAnswerAtOnce) << "dialog " << i + 1;
  EXPECT_EQ(guard.Arrived(9999), Verdict::kAnswerAtOnce);
  EXPECT_EQ(guard.answering_at_once(), ScriptDialogGuard::Reason::kStorm);
  // For good, not only while the span lasts.
  EXPECT_EQ(guard.Arrived(60000), Verdict::kAnswerAtOnce);

  // Five spread wider than the span never add up to a storm.
  ScriptDialogGuard spread;
  for (int i = 0; i < 8; ++i) EXPECT_NE(spread.Arrived(i * 2600), Verdict::kAnswerAtOnce) << i;
}

}  // namespace
}  // namespace korvath
