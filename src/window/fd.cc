#include "window/fd.h"

#include "startup/mupdate.h"

namespace kvt {

Control::Control(Fd& owner, ControlId id) : owner_(owner), id_(id) {
  const layout::Control& design = *layout::Find(id);
  visible_ = design.visible;
  enabled_ = design.enabled;
  text_ = std::string(design.text);
  value_ = design.value;
  left_ = design.left;
  top_ = design.top;
  width_ = design.kind == layout::Kind::kLine ? design.width - design.left : design.width;
}

platform::WindowBackend& Control::backend() const { return owner_.backend(); }

void Control::SetVisible(bool visible) {
  visible_ = visible;
  backend().SetVisible(id_, visible);
}

void Control::SetEnabled(bool enabled) {
  enabled_ = enabled;
  backend().SetEnabled(id_, enabled);
}

void Control::SetCaption(const std::string& text) {
  text_ = text;
  backend().SetText(id_, text);
}

void Control::SetValue(int value) {
  value_ = value;
  backend().SetValue(id_, value);
}

void Control::SetLeft(double left) {
  left_ = left;
  backend().Move(id_, left_, top_);
}

void Control::SetTop(double top) {
  top_ = top;
  backend().Move(id_, left_, top_);
}

void Control::SetWidth(double width) {
  width_ = width;
  backend().SetWidth(id_, width);
}

void Control::Refresh() { backend().Refresh(id_); }

Fd::Fd(platform::WindowBackend& backend, const Mupdate::VendorSettings& vendor,
       Mupdate::Events* log)
    : backend_(backend),
      vendor_(vendor),
      Frame1(*this, kFrame1), FrameW(*this, kFrameW), Frame2(*this, kFrame2),
      Frame3(*this, kFrame3),
      Label1(*this, kLabel1), Label2(*this, kLabel2), Txy(*this, kTxy), Ck(*this, kCk),
      Ccontinue(*this, kCcontinue),
      Label3(*this, kLabel3),
      Lt(*this, kLt), Lpath(*this, kLpath), Tpath(*this, kTpath), Cfolder(*this, kCfolder),
      Lb(*this, kLb), Lw(*this, kLw), Line1(*this, kLine1), Cyes(*this, kCyes), Cno(*this, kCno),
      Label4(*this, kLabel4), Lfinish(*this, kLfinish), Label5(*this, kLabel5),
      Crun(*this, kCrun), Line2(*this, kLine2), Cend(*this, kCend) {
  progress_.SetNext(log);
  backend_.Create(*this);
  Form_Initialize();
}

Control& Fd::Get(ControlId id) {
  Control* all[] = {&Frame1, &FrameW, &Frame2,  &Frame3,  &Label1,    &Label2, &Txy,
                    &Ck,     &Ccontinue, &Label3, &Lt,    &Lpath,     &Tpath,  &Cfolder,
                    &Lb,     &Lw,     &Line1,   &Cyes,    &Cno,       &Label4, &Lfinish,
                    &Label5, &Crun,   &Line2,   &Cend};
  for (Control* c : all) {
    if (c->id() == id) return *c;
  }
  return Frame1;  // unreachable for the ids of control_ids.h
}

void Fd::Form_Initialize() {
  outer_width_ = layout::kOuterWidth;
  outer_height_ = layout::kOuterHeight;
  backend_.SetOuterSize(outer_width_, outer_height_);
  for (Control* page : {&Frame1, &Frame2, &Frame3, &FrameW}) {
    page->SetLeft(0);
    page->SetTop(0);
  }
  Tpath.SetText(Mupdate::InstallPath);
  Txy.SetText(AgreementText());
}

}  // namespace kvt
