#include "shell/form_layout.h"

#include <gtest/gtest.h>

#include <set>

namespace tavin {
namespace {

Rect placeOf(std::span<const ControlSpec> table, const std::vector<Rect>& places, int id) {
  for (size_t i = 0; i < table.size(); ++i) {
    if (table[i].id == id) return places[i];
  }
  ADD_FAILURE() << "no control " << id;
  return {};
}

TEST(FormLayoutTest, PanelsStatusBarAndMemoShareTheMainWindow) {
  struct Case {
    int width, height;
    int id;
    Rect expected;
  };
  const Case cases[] = {
      // The form's own size: the memo is 331 x 223 between the two panels.
      {331, 365, kStatusPanelId, {0, 0, 331, 65}},
      {331, 365, kMemHistoryId, {0, 65, 331, 223}},
      {331, 365, kCtrlPanelId, {0, 288, 331, 58}},
      {331, 365, kStatusBar1Id, {0, 346, 331, 19}},
      {331, 365, kHideCheckId, {8, 8, 97, 17}},  // inside ctrlPanel
      {331, 365, kButton1Id, {264, 8, 57, 49}},
      // A taller form gives the memo the difference, the edges keep theirs.
      {331, 465, kMemHistoryId, {0, 65, 331, 323}},
      {331, 465, kStatusBar1Id, {0, 446, 331, 19}},
      // Too small for every edge: nothing gets a negative size.
      {100, 100, kCtrlPanelId, {0, 65, 100, 16}},
      {100, 100, kMemHistoryId, {0, 65, 100, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " id " +
                 std::to_string(c.id));
    const auto places = layoutControls(kMainFormControls, c.width, c.height);
    EXPECT_EQ(placeOf(kMainFormControls, places, c.id), c.expected);
  }
}

TEST(FormLayoutTest, IdsAreUniqueAndNamed) {
  std::set<int> ids;
  for (const ControlSpec& c : kMainFormControls) {
    EXPECT_TRUE(ids.insert(c.id).second) << c.name;
    EXPECT_EQ(controlName(kMainFormClass, c.id), c.name);
  }
  EXPECT_EQ(controlName(kMainFormClass, kExit1Id), "Exit1");
  EXPECT_EQ(controlName(kErrFormClass, kBtOKId), "BtOK");
  EXPECT_EQ(controlName(kErrFormClass, kHideCheckId), "");
}

}  // namespace
}  // namespace tavin
