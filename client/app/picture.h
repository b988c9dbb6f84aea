// The look that options turn on (--fades, --atmosphere), between the
// frame's selection and the screen; a plain start never comes here and
// draws as it always did.
#pragma once

#include <Eigen/Core>

#include "gl/renderer.h"
#include "startup/command_line.h"
#include "view/selection.h"

// After initGL, with the options of the run.
void startPicture(const viewer_options_t& options, const gl_ctx_t& plain);

// True when the nodes go through drawPictureFrame instead of the plain draw list.
bool pictureDrawsNodes();

// Advances the fades by delta_ms, draws the nodes, then the sky; returns
// how many nodes were drawn.
int drawPictureFrame(const selection_t& sel, const Eigen::Matrix4d& viewprojection, const Eigen::Vector3d& eye,
                     float planet_radius, double delta_ms, const gl_ctx_t& plain);

// True when no fade is under way (always without fades): what is drawn is
// what the selection has, at full opacity.
bool pictureSettled();
