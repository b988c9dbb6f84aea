// The viewer's entry: process-wide state, window and GL context, the frame
// loop, and drawPlanet with its four stages (camera, walk and request
// scheduling, release under the memory budget, drawing) in that order.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <SDL.h>

#include "app/navigation.h"
#include "app/multisampling.h"
#include "app/picture.h"
#include "app/recording.h"
#include "app/place_finder.h"
#include "app/user_interface.h"
#include "net/fetch.h"
#include "net/http_client.h"
#include "net/http_proxy.h"
#include "startup/command_line.h"
#include "view/camera.h"
#include "startup/planet_startup.h"
#include "gl/renderer.h"
#include "net/retrieval.h"
#include "view/selection.h"
#include "startup/process_objects.h"
#include "startup/frame_clock.h"

// Only constant initialisation here: the process-wide objects and their
// order live in startup/process_objects.cpp.
SDL_Window* sdl_window = nullptr;
size_t memory_budget = memory_budget_bytes;  // --memory-mb
bool quit = false;
int exit_status = 0;

namespace {

void requestRootBulk(bulk_t* b) { getBulk(b->request, b, [](std::unique_ptr<BulkMetadata>) {}); }

const retrieval_start_t& retrievalStart() {
  static const retrieval_start_t start{
      [](bulk_t* b, std::shared_ptr<retrieval_ticket_t> ticket) {
        getBulk(b->request, b, [](std::unique_ptr<BulkMetadata>) {}, std::move(ticket));
      },
      [](node_t* n, std::shared_ptr<retrieval_ticket_t> ticket) {
        getNode(n->request, n, [](std::unique_ptr<NodeData>) {}, std::move(ticket));
      },
  };
  return start;
}

camera_input_t sampleInput() {
  const Uint8* keys = SDL_GetKeyboardState(nullptr);
  camera_input_t in{};
  in.key_w = keys[SDL_SCANCODE_W];
  in.key_s = keys[SDL_SCANCODE_S];
  in.key_a = keys[SDL_SCANCODE_A];
  in.key_d = keys[SDL_SCANCODE_D];
  in.key_q = keys[SDL_SCANCODE_Q];
  in.key_e = keys[SDL_SCANCODE_E];
  in.shift = keys[SDL_SCANCODE_LSHIFT] || keys[SDL_SCANCODE_RSHIFT];
  if (searchLineOpen()) in = camera_input_t{};  // the keys type the search
  return in;
}

void drawNodes(const std::vector<draw_item_t>& draw_list, const Eigen::Matrix4d& viewprojection,
               gl_ctx_t& ctx) {
  for (const draw_item_t& item : draw_list) {
    node_t* node = item.node;
    const Eigen::Matrix4f transform = (viewprojection * node->matrix_globe_from_mesh).cast<float>();
    glUniformMatrix4fv(ctx.transform_loc, 1, GL_FALSE, transform.data());
    for (mesh_t& mesh : node->meshes) {
      if (!mesh.buffered) {
        bufferMesh(mesh);
        dropUploadedTexture(mesh);
      }
      bindAndDrawMesh(mesh, item.mask, ctx);
    }
  }
}

}  // namespace

void drawPlanet(gl_ctx_t& ctx) {
  static camera_t cam{};
  static double stats_ms = 0;
  static settle_tracker_t settle{};
  static selection_t sel;
  static std::vector<draw_item_t> draw_list;

  const int64_t now_ms = retryClockMs();
  if (!planetReady(_planetoid, now_ms, requestRootBulk)) return;
  bulk_t* current_bulk = _planetoid->root_bulk;
  const float planet_radius = _planetoid->radius;

  int width = 0, height = 0;
  SDL_GL_GetDrawableSize(sdl_window, &width, &height);
  glViewport(0, 0, width, height);
  glClearColor(0, 0, 0, 1);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  // A minimised or collapsed window has no aspect ratio: nothing to project,
  // walk, release or draw until it has a size again.
  if (width <= 0 || height <= 0) return;

  camera_input_t in = sampleInput();
  if (!cam.initialised) initCamera(cam, planet_radius);
  applyPendingPose(cam, planet_radius);
  applyPathPose(cam, planet_radius, deltaTime);
  if (periodicLineDue(&cam.ms, deltaTime)) std::fputs(positionLine(cam).c_str(), stdout);
  SDL_GetRelativeMouseState(&in.mouse_x, &in.mouse_y);
  navigateCamera(cam, &in, draw_list, _planetoid, width, height, deltaTime);
  camera_frame_t frame;
  updateCamera(cam, in, deltaTime, planet_radius, width, height, &frame);
  if (keepCameraAboveGround(cam, _planetoid, deltaTime))
    updateCamera(cam, camera_input_t{}, 0, planet_radius, width, height, &frame);

  frame_stats_t stats{};
  const walk_view_t view{cam.eye, cam.direction, frame.viewprojection, frame.frustum_planes};
  walkTree(current_bulk, view, now_ms, &sel, &stats);
  prefetchDestination(current_bulk, now_ms, &sel, planet_radius, width, height);
  scheduleRequests(&viewerScheduler(), sel.wishes, sel.frame, retrievalStart());
  int64_t settled_after_ms = 0;
  // A flight's views are on the way, not arrived: the view settles after
  // it lands, counted from its start.
  if (flightUnderway()) {
    if (!settle.unsettled) settle = {true, now_ms};
  } else if (noteSettling(&settle, stats, now_ms, &settled_after_ms))
    std::printf("settled: %d nodes after %d ms\n", static_cast<int>(stats.pot_n),
                static_cast<int>(settled_after_ms));

  releaseUnselected(current_bulk, &sel, [](mesh_t& m) { unbufferMesh(m); }, memory_budget, &stats);
  noteRelease(&viewerScheduler(), stats.cache_bytes, stats.obs_n_cnt + stats.obs_b_cnt);
  if (periodicLineDue(&stats_ms, deltaTime)) {
    std::fputs(statsLine(stats).c_str(), stdout);
    std::fputs(netLine(viewerStreamStats()).c_str(), stdout);
  }

  computeDrawList(sel, &draw_list);
  int nodes_drawn = 0;
  if (pictureDrawsNodes()) {
    nodes_drawn = drawPictureFrame(sel, frame.viewprojection, cam.eye, planet_radius, deltaTime, ctx);
  } else {
    drawNodes(draw_list, frame.viewprojection, ctx);
    nodes_drawn = static_cast<int>(draw_list.size());
  }
  finishFrame({cam, planet_radius, nodes_drawn, settle.unsettled, width, height, deltaTime, &draw_list});
  finishRecordedFrame(stats.pending_nodes + stats.pending_bulks == 0 && pictureSettled(), width, height);
}

void mainloop(gl_ctx_t& ctx) {
  SDL_Event event;
  while (SDL_PollEvent(&event)) {
    if (event.type == SDL_QUIT || (event.type == SDL_KEYDOWN && event.key.keysym.sym == SDLK_ESCAPE && !searchLineOpen()))
      quit = true;
    // Keys typed into the search line are text, not N or a flight's stop.
    const bool typing = searchLineOpen() && (event.type == SDL_KEYDOWN || event.type == SDL_KEYUP);
    if (!typing) handleNavigationEvent(event);
    handleUserEvent(event);
  }
  advanceFrameClock();
  drawPlanet(ctx);
  if (userInterfaceWantsExit(&exit_status)) quit = true;
  if (recordingWantsExit(&exit_status)) quit = true;
  SDL_GL_SwapWindow(sdl_window);
}

namespace {

// A window asked for with --windowed that is larger than the screen's usable
// area is shrunk to fit it, keeping its shape.
void fitToScreen(int* width, int* height) {
  SDL_Rect usable;
  if (SDL_GetDisplayUsableBounds(0, &usable) != 0 || usable.w <= 0 || usable.h <= 0) return;
  const double scale = std::min({1.0, static_cast<double>(usable.w) / *width, static_cast<double>(usable.h) / *height});
  *width = static_cast<int>(*width * scale);
  *height = static_cast<int>(*height * scale);
}

}  // namespace

int main(int argc, char** argv) {
  // Diagnostics go out a line at a time, also into a pipe: they are read
  // while the viewer runs.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // Before any window: --help, --version and a bad option need no display.
  const command_line_t command_line = parseCommandLine(argc, argv);
  if (!command_line.run) {
    std::fputs(command_line.text.c_str(), command_line.exit_status == 0 ? stdout : stderr);
    return command_line.exit_status;
  }
  const viewer_options_t& options = command_line.options;
  if (!findStartPlace(options)) return 2;
  memory_budget = options.memory_budget_bytes;
  setUpFetching({options.service_base_url, options.cache_dir,
                 static_cast<uint64_t>(options.cache_mb) << 20, options.offline});
  char ca_why[512];
  if (!options.ca_file.empty() && !httpAddCaFile(options.ca_file.c_str(), ca_why, sizeof ca_why)) {
    std::fprintf(stderr, "ostravel: %s\n", ca_why);
    return 2;
  }
  for (const std::string& header : options.request_headers) httpAddRequestHeader(header.c_str());
  if (!options.offline && !httpUseProxies(options.proxy.empty() ? nullptr : options.proxy.c_str(), ca_why,
                                          sizeof ca_why)) {
    std::fprintf(stderr, "ostravel: %s\n", ca_why);
    return 2;
  }

  if (SDL_Init(SDL_INIT_VIDEO) != 0) {
    std::fprintf(stderr, "Couldn't init SDL2: %s\n", SDL_GetError());
    std::exit(1);
  }
  SDL_GL_SetAttribute(SDL_GL_CONTEXT_PROFILE_MASK, SDL_GL_CONTEXT_PROFILE_COMPATIBILITY);
  SDL_GL_SetAttribute(SDL_GL_CONTEXT_MAJOR_VERSION, 2);
  SDL_GL_SetAttribute(SDL_GL_CONTEXT_MINOR_VERSION, 1);
  int width = options.window_width, height = options.window_height;
  if (options.windowed) fitToScreen(&width, &height);
  sdl_window = SDL_CreateWindow("Ostravel Client", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, width, height,
                                (options.windowed ? 0 : SDL_WINDOW_FULLSCREEN) | SDL_WINDOW_OPENGL |
                                    SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI);
  if (!sdl_window) {
    std::fprintf(stderr, "Couldn't create window: %s\n", SDL_GetError());
    std::exit(1);
  }
  SDL_GLContext gl_context = SDL_GL_CreateContext(sdl_window);
  if (!gl_context) {
    std::fprintf(stderr, "Couldn't create OpenGL context: %s\n", SDL_GetError());
    std::exit(1);
  }
  SDL_GL_SetSwapInterval(1);
  if (!gladLoaderLoadGL()) {
    std::fprintf(stderr, "Failed to init glad\n");
    std::exit(1);
  }
  startMultisampling(options.msaa, &sdl_window, &gl_context);
  setFixedFrameMs(options.frame_ms);
  startRecording(options);

  gl_ctx_t* ctx = new gl_ctx_t{};
  initGL(*ctx);
  startPicture(options, *ctx);
  startUserInterface(options);
  loadPlanet();
  startNavigation(options);

  while (!quit) mainloop(*ctx);

  // Queued downloads are dropped and transfers in flight end now, so that a
  // silent service cannot hold the exit.
  stopProcessObjects();
  finishFetching();
  std::fputs(fetchSummaryLine(fetchCounters()).c_str(), stdout);
  stopUserInterface();
  SDL_GL_DeleteContext(gl_context);
  SDL_DestroyWindow(sdl_window);
  SDL_Quit();
  delete ctx;
  return exit_status;
}
