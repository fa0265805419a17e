#include "shell/form_layout.h"

#include <map>

namespace tavin {

std::vector<Rect> layoutControls(std::span<const ControlSpec> controls, int clientWidth,
                                 int clientHeight) {
  std::vector<Rect> places(controls.size(), Rect{0, 0, 0, 0});
  // What each parent has left after the controls along its edges: the form
  // (id 0) has its client area, a panel the inside of its own rectangle.
  std::map<int, Rect> rest{{0, Rect{0, 0, clientWidth, clientHeight}}};
  auto restOf = [&](int parentId) -> Rect& {
    auto it = rest.find(parentId);
    if (it != rest.end()) return it->second;
    for (size_t i = 0; i < controls.size(); ++i) {
      if (controls[i].id == parentId) {
        return rest[parentId] = Rect{0, 0, places[i].width, places[i].height};
      }
    }
    return rest[parentId] = Rect{0, 0, 0, 0};
  };
  // Edges first, in table order; the client control takes what they leave,
  // wherever it stands in the table.
  for (size_t i = 0; i < controls.size(); ++i) {
    const ControlSpec& c = controls[i];
    if (c.align == Align::kNone) {
      places[i] = Rect{c.left, c.top, c.width, c.height};
    } else if (c.align == Align::kTop || c.align == Align::kBottom) {
      Rect& free = restOf(c.parentId);
      const int height = c.height < free.height ? c.height : free.height;
      if (c.align == Align::kTop) {
        places[i] = Rect{free.left, free.top, free.width, height};
        free.top += height;
      } else {
        places[i] = Rect{free.left, free.top + free.height - height, free.width, height};
      }
      free.height -= height;
    }
  }
  for (size_t i = 0; i < controls.size(); ++i) {
    if (controls[i].align == Align::kClient) places[i] = restOf(controls[i].parentId);
  }
  return places;
}

std::string_view controlName(std::string_view formClass, int id) {
  std::span<const ControlSpec> table;
  if (formClass == kMainFormClass) table = kMainFormControls;
  if (formClass == kErrFormClass) table = kErrFormControls;
  for (const ControlSpec& c : table) {
    if (c.id == id) return c.name;
  }
  if (formClass == kMainFormClass && id == kRestore1Id) return "Restore1";
  if (formClass == kMainFormClass && id == kExit1Id) return "Exit1";
  return {};
}

}  // namespace tavin
