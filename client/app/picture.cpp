#include "app/picture.h"

#include <vector>

#include "gl/picture_program.h"
#include "view/fades.h"

namespace {

struct picture_t {
  bool on = false;
  picture_program_t program{};
  fade_state_t fade_state;
  std::vector<draw_item_t> plain_items;
  std::vector<faded_draw_item_t> items;
};

picture_t picture;

}  // namespace

void startPicture(const viewer_options_t& options, const gl_ctx_t& plain) {
  // A recorded frame waits until its view has settled, so it never shows a
  // fade: fading would only hold every frame longer.
  const bool fades = options.fades && options.record_dir.empty();
  picture.on = fades || options.atmosphere;
  if (picture.on) initPictureProgram(picture.program, plain, fades, options.atmosphere);
}

bool pictureDrawsNodes() { return picture.on; }

int drawPictureFrame(const selection_t& sel, const Eigen::Matrix4d& viewprojection, const Eigen::Vector3d& eye,
                     float planet_radius, double delta_ms, const gl_ctx_t& plain) {
  if (picture.program.fades) {
    computeFadedDrawList(sel, delta_ms, &picture.fade_state, &picture.items);
  } else {
    computeDrawList(sel, &picture.plain_items);
    picture.items.clear();
    for (const draw_item_t& d : picture.plain_items) {
      faded_draw_item_t item{d.node, d.mask, 1, {}};
      item.low.fill(0);
      picture.items.push_back(item);
    }
  }
  drawPictureNodes(picture.items, viewprojection, eye, planet_radius, picture.program, plain);
  drawSky(viewprojection, eye, planet_radius, picture.program, plain);
  return static_cast<int>(picture.items.size());
}

bool pictureSettled() { return !picture.program.fades || fadesSettled(picture.fade_state); }
