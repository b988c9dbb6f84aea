// Camera paths and recordings (--path, --record): the camera flies the
// path's poses; a recording holds each frame of it until its view has
// settled (every node there, every fade done), writes it as a PNG, moves
// the path on by one frame time and exits after the last frame. The frame
// loop calls in at three points; the path itself is view/camera_path.
#pragma once

#include "startup/command_line.h"
#include "view/camera.h"

// Before the first frame, after setFixedFrameMs: a recording without
// --frame-ms runs at 30 frames a second of path time.
void startRecording(const viewer_options_t& options);

// In drawPlanet after applyPendingPose: puts the camera where the path is
// now (moving it on by delta_ms unless recording). False without a path.
bool applyPathPose(camera_t& cam, float planet_radius, double delta_ms);

// In drawPlanet after the frame is drawn: settled is true when the walk
// found nothing missing and no fade is under way. Writes the recorded frame
// when it is.
void finishRecordedFrame(bool settled, int width, int height);

// Every frame, after drawPlanet: true when the recording is over (status 0)
// or failed (1: a frame could not be written; 2: a frame did not settle
// within record_frame_timeout_s).
bool recordingWantsExit(int* status);
