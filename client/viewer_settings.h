// Every tunable of the viewer, with its default and why it has that value.
// Header only (constants), so that the GL-free libraries read it too; the
// code that uses a value names it from here and nowhere else defines one.
#pragma once

#include <cstddef>
#include <cstdint>

// --- Window ----------------------------------------------------------------

// The full-screen window of a plain start; the picture the level-of-detail
// rule is tuned for (lod_screen_height) has the same height.
constexpr int window_width = 2560;
constexpr int window_height = 1440;

// --- Command line, status overlay, screenshots ------------------------------

// How long --screenshot-when-settled and --exit-when-settled wait for the
// view to settle unless --settle-timeout says otherwise: a start view
// settles in seconds, a remote service on a slow line in about a minute.
constexpr double settle_timeout_default_s = 120;
// Positions (--position) may start the camera this high: above the highest
// place (12,000 km), still well inside the range the clip planes handle.
constexpr double position_max_altitude = 40000000;
// ... and this deep below the sphere (the shores of the Dead Sea are at -430 m).
constexpr double position_min_altitude = -1000;
// The overlay's font (fonts-dejavu-core) and size; monospaced, so that the
// figures do not jitter as they change.
constexpr char overlay_font_path[] = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";
constexpr int overlay_font_points = 18;
// The overlay's text is rendered again at most this often: readable figures,
// and no font rendering in every frame.
constexpr double overlay_refresh_ms = 250;
// Frames per second are counted over windows of at least this length.
constexpr double frame_rate_window_ms = 500;

// --- Picture: fades, multisampling, fixed frame time --------------------

// A node that becomes drawable (or the coarser node that takes its place
// again) fades in over this long while what it replaces stays beneath: short
// enough to read as smooth rather than slow, and the walk never waits for it.
constexpr double fade_ms = 250;
// Multisampling of a plain start on a hardware renderer (--msaa says
// otherwise): smooth edges for a fraction of a modern GPU's time. Under a
// software renderer (GL_RENDERER names one of these) it would multiply the
// cost of every pixel, so the default there is none.
constexpr int msaa_hardware_default = 4;
constexpr const char* software_renderer_names[] = {"llvmpipe", "softpipe", "swrast", "Software Rasterizer"};
// --frame-ms accepts up to this many milliseconds a frame: slower than any
// real frame, and a bound on how far one frame moves the camera.
constexpr double frame_ms_max = 10000;

// Sky and haze (--atmosphere): single scattering in a shell of air over
// the sphere. Earth's air: Rayleigh scattering falls off with a scale
// height of 8 km and scatters blue most (the sky's colour), aerosols (Mie)
// with 1.2 km and scatter forwards (the glow around the limb and the
// brighter horizon). Air above 80 km adds nothing one can see.
constexpr double atmosphere_height_m = 80000;
constexpr double rayleigh_scale_height_m = 8000;
constexpr double mie_scale_height_m = 1200;
constexpr double rayleigh_scattering_per_m[3] = {5.8e-6, 13.5e-6, 33.1e-6};  // red, green, blue
constexpr double mie_scattering_per_m = 21e-6;
constexpr double mie_asymmetry = 0.76;  // forward-scattering aerosols
// The sun's brightness before the sky's tone curve: a clear noon sky comes
// out light blue, not white.
constexpr double sun_intensity = 20;
// Samples along a view ray, for each entry of the sky's table (filled when
// the eye's height changes, not per pixel). Four keep the limb smooth.
constexpr int sky_view_samples = 4;
// Entries of the sky's table of angles from the vertical: enough that
// neighbours differ by less than a step of 8-bit colour at the thin limb.
constexpr int sky_table_size = 1024;
// The sky's grid over the screen: the ray's cosine is exact at its corners
// and linear between them, off by at most 4e-4 at 48x27 with the 54-degree
// view (a fraction of the limb's glow even from far out), while each pixel
// of sky is left only the table's lookup.
constexpr int sky_grid_columns = 48;
constexpr int sky_grid_rows = 27;

// --path files of timed poses (untrusted input): a few thousand poses make
// a long flight; a file or a pose count beyond these is refused, not read.
constexpr size_t path_max_bytes = size_t{1} << 20;
constexpr size_t path_max_poses = 10000;
// --record: a frame waits this long (wall clock) for its view to settle
// before the recording gives up with status 2: a slow service settles a
// view in about a minute.
constexpr double record_frame_timeout_s = 120;
// --- Search and labels ------------------------------------------------------

// Typed search text is cut to this many bytes: longer is no name, and the
// index query stays small whatever is pasted into the line.
constexpr size_t search_max_query_bytes = 200;
// Words of a search beyond this many are ignored.
constexpr size_t search_max_words = 8;
// Suggestions under the search line (and results a search returns).
constexpr size_t search_suggestions = 5;
// A found place is seen from this high above it: a village from a few
// kilometres, a large city whole (metres, plus this per square root of its
// inhabitants), at most the cap.
constexpr double search_view_min_m = 5000;
constexpr double search_view_m_per_sqrt_population = 20;
constexpr double search_view_max_m = 60000;
// Typed coordinates are seen from this high.
constexpr double search_coordinates_view_m = 10000;
// Pitch of the view of a found place, seen from the south: steep enough to
// be nearly overhead, inside what the mouse can reach.
constexpr double search_view_pitch_deg = -75;
// At most this many labels on screen: a map, not a list.
constexpr size_t labels_max = 40;
// Labels thin out with distance: a place needs at least this many
// inhabitants per metre of its distance from the eye (300 km: 6,000), so
// that a view along the ground names villages near by and cities far off.
constexpr double labels_population_per_metre = 0.02;
// Places asked of the index for one view, the most populous first; the
// frame chooses its labels among them.
constexpr size_t labels_candidates = 400;
// The queried box is the visible box grown by this fraction on each side,
// so that the index is asked again only after a real move.
constexpr double labels_query_margin = 0.5;
// The labels' index query reads the places in rank order, skipping those
// outside the box, when at most this many are populous enough (a few
// milliseconds at worst, and quick for large boxes); else through the
// R*Tree, whose cost follows the places in the box.
constexpr int64_t labels_scan_max_rank = 20000;
// The labels' font and size; a gap (pixels) kept free around each label.
constexpr char labels_font_path[] = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
constexpr int labels_font_points = 15;
constexpr int labels_gap_px = 3;

// --- Worker pools ----------------------------------------------------------

// Decoding is CPU-bound (JPEG, CRN, protobuf): a few threads keep the cores
// busy without starving the render thread.
constexpr size_t decode_pool_threads = 4;
// One thread per retrieval the scheduler may have under way
// (max_requests_in_flight): a download blocks its thread on the network
// for the whole transfer, so with fewer threads the cap would never be
// reached and requests would queue in the pool, out of the scheduler's
// reach (no cancel, no re-ranking). Each thread keeps at most one
// connection, so over HTTP/1.1 this is also the most connections the
// viewer opens.
constexpr size_t max_requests_in_flight = 24;
// The same once the service speaks HTTP/2: its requests are streams of one
// connection, so more at once cost no connections, and at 50 ms round trip
// a view's thousand requests then take fewer round trips (bench/
// protocols_at_distance.sh); nginx allows 128 streams per connection.
constexpr size_t max_requests_in_flight_http2 = 96;
constexpr size_t download_pool_threads =
    max_requests_in_flight > max_requests_in_flight_http2 ? max_requests_in_flight : max_requests_in_flight_http2;

// --- Transport -------------------------------------------------------------

// A request that makes no progress (nothing connected, sent or received) for
// this long fails: a service that accepts and then goes silent, or a connect
// that never completes, must not hold a download thread forever.
constexpr int64_t http_stall_limit_ms = 30000;
// A response (header and body) larger than this fails the request: the
// largest message of the service is well under a megabyte, and a service
// that streams without end must not take all memory.
constexpr size_t http_response_limit = 64u << 20;
// How long one wait on the socket may last between two polls of a request:
// short, so that a shutdown or a cancellation is seen at once.
constexpr int fetch_poll_wait_ms = 1;
// HTTP/2 over TLS when the service's handshake chooses it (ALPN "h2"):
// its requests then share one connection. Off, every service is spoken to
// in HTTP/1.1 as before.
constexpr bool http2_enabled = true;
// A stream's receive window: at 50 ms round trip a stream gets at most a
// window per round trip, so the default 64 KiB would hold a 1 MB node to
// 1.3 MB/s; 8 MiB lets the largest message come in one round trip.
constexpr int32_t http2_stream_window_bytes = 8 << 20;
// The connection's window, shared by every stream: room for dozens of
// streams at full speed at once (the answers are read as they come, so it
// holds no memory of its own).
constexpr int32_t http2_connection_window_bytes = 256 << 20;
// How often a stream the service refused unprocessed (above a GOAWAY's last
// stream, e.g. nginx's 1,000 requests per connection) goes out again before
// its request fails: a service that refuses every stream must not loop us.
constexpr int http2_max_retries = 8;

// --- Request scheduling ---------------------------------------------------

// Retrievals under way at once (transfer and decode). Enough to hide a
// 50 ms round trip behind the few milliseconds a node takes to build and
// decode; few enough that a turn of the view does not leave hundreds of
// stale requests in front of the new view's (the rest wait in the
// scheduler's queue, where they are re-ranked and cancelled freely).
// (max_requests_in_flight is defined with the download pool above.)
//
// Request priority, lowest first: bulks before nodes (a bulk unlocks the
// descent below it, nothing is drawn finer until it is here; but see
// request_slots_for_nodes below); then coarser
// before finer (a coarse node covers the picture at once, and its finer
// children are selected only once it is drawn); then by the squared
// distance of the record's box centre from the picture's centre in
// normalised device coordinates (the middle of the picture sharpens first;
// behind the eye counts as farthest). requestPriority in
// net/request_scheduler.h packs the three into one integer.
//
// Slots that bulks leave to nodes while nodes wait. Flying over new ground
// finds new bulks every frame; with bulks strictly first, the 24 slots went
// to bulks for seconds on end in the flight test (183 bulk and 0 node
// requests while flying), and the picture stayed coarse.
constexpr size_t request_slots_for_nodes = 8;

// A transfer the walk has not wanted for this many frames is abandoned (its
// socket closed, the record back to stub): about half a second at 60 frames
// a second, long enough that a record passing out of view and straight back
// keeps its transfer.
constexpr uint64_t abandon_after_frames = 30;

// --- Memory budget ---------------------------------------------------------

// Downloaded nodes and bulks that the walk no longer selects stay in memory
// (nodes on the GPU too) until the bytes of all downloaded records reach
// this; then the least recently selected are released first. A view of a
// few hundred nodes takes about 100 MiB, so turning around and back, or
// flying a few kilometres back, costs no requests; a record selected in the
// current frame is never released, whatever the budget.
constexpr size_t memory_budget_bytes = size_t{512} << 20;

// A downloaded bulk keeps the walk's index of its children (about 110 KB
// for a bulk of 341 nodes) until the walk has not entered it for this many
// frames: long enough that a bulk at the edge of the view does not rebuild
// it every frame, short enough that the bulks the memory budget keeps do
// not hold their indexes too.
constexpr uint64_t walk_index_keep_frames = 30;

// --- Disk cache ------------------------------------------------------------

// What the cache database may take on disk, in MiB, unless --cache-mb says
// otherwise: a few sessions of flying (a start view is about 40 MB of
// answers) without being noticed on a desktop disk.
constexpr int64_t disk_cache_default_mb = 2048;
// How long a store waits for another viewer that holds the database's write
// lock before it gives up storing that answer: long enough for the other's
// transaction (milliseconds), short enough not to hold a download thread.
constexpr int disk_cache_busy_ms = 2000;
// Reads are noted in memory and their use order written in one transaction
// with the next store, or once this many have gathered: a write per read
// would double the cost of a warm start.
constexpr size_t disk_cache_touch_batch = 64;
// Per connection (one per download thread): answers are read once per
// session, so a large page cache would only hold what was already used.
constexpr int disk_cache_page_cache_kib = 1024;
// The write-ahead log beside the database takes this share of the budget
// (the database keeps to the rest): once longer it is copied into the
// database and cut back, which costs two fsyncs, so it is at least 1 MiB
// (but at most a quarter of a small budget).
constexpr double disk_cache_log_share = 0.005;
constexpr uint64_t disk_cache_log_min_bytes = uint64_t{1} << 20;

// --- Retry back-off --------------------------------------------------------

// After a failed retrieval a record waits this long before it is asked for
// again, doubling per consecutive failure up to the maximum: a broken
// record must not be hammered every frame, and a passing fault heals fast.
constexpr int64_t retry_first_delay_ms = 1000;
constexpr int64_t retry_max_delay_ms = 60000;

// --- Level of detail -------------------------------------------------------

// Nominal picture height of the level-of-detail rule; the actual drawable
// height is deliberately not used, so detail does not change with the window.
constexpr double lod_screen_height = 1440;

// --- Camera ----------------------------------------------------------------

constexpr double camera_start_altitude = 10000;        // metres above the sphere at start
constexpr double camera_max_altitude = 10000000;       // climbs to here or above are refused: the planet stays in view
constexpr double camera_pitch_limit = 0.99;            // |cos| of the angle to the vertical: no flip over the pole of the view
constexpr double camera_mouse_radians = 0.001;         // per unit of mouse motion: a comfortable turn rate
constexpr float camera_fov_rad = 0.9424778819084167f;  // 54 degrees, as single precision gives it
// Near plane: 50 m close in, half the altitude once the horizon is farther
// than this, so that depth precision follows the distance of the ground.
constexpr double camera_near_metres = 50;
constexpr double camera_far_near_horizon_metres = 370000;
// Frame time between two position or statistics lines: readable, not a flood.
constexpr double periodic_line_ms = 2000;

// --- Navigation: globe mode, flights, the ground ---------------------------

// A notch of the wheel in globe mode takes the eye this share of the way to
// the point under the cursor (out: back by the inverse): about seven notches
// halve the altitude twice, fine steps without a long scroll.
constexpr double globe_wheel_keep = 0.8;
// A double click flies to a third of the distance to the clicked point.
constexpr double globe_double_click_keep = 1.0 / 3;
// The glide after a drag: the globe's turn rate decays with this time
// constant (exponentially in time, so the glide is the same at any frame
// rate), measured over the drag's last 100 ms (holding still before the
// release leaves no glide), and stops below the least rate.
constexpr double globe_inertia_tau_s = 0.35;
constexpr double globe_inertia_window_s = 0.1;
constexpr double globe_inertia_min_rad_per_s = 1e-7;
// A right (or Ctrl + left) drag turns by this per pixel about the point at
// the view's centre; the eye stays at least this many degrees above that
// point's horizon.
constexpr double globe_turn_rad_per_pixel = 0.004;
constexpr double globe_min_elevation_deg = 2;
// W/A/S/D/Q/E in globe mode cover this many altitudes a second (times 5
// with Shift): slow near the ground, fast from orbit. Zooming out stops at
// the highest start a position may ask for.
constexpr double globe_key_altitudes_per_s = 0.8;
constexpr double globe_max_altitude = 40000000;
// Flights: the smooth zoom-and-pan path with the curvature the mapping
// libraries use, this many seconds per unit of its length, never longer than
// the most a person wants to wait.
constexpr double flight_rho = 1.42;
constexpr double flight_seconds_per_unit = 0.9;
constexpr double flight_max_seconds = 3;
// The eye stays this high above the surface under it, plus the way it
// covers in the given time at its descent speed (a fast descent stops
// sooner, before a finer mesh that arrives a frame later can be above it).
constexpr double ground_clearance_metres = 10;
constexpr double ground_clearance_seconds = 0.05;

// --- Textures --------------------------------------------------------------

// The largest texture side accepted. Larger sizes cannot be uploaded to GL
// anyway, and the size fields would otherwise let a tiny message make us
// allocate gigabytes (or wrap the DXT1 size arithmetic).
constexpr uint32_t max_texture_side = 8192;
// What all textures of one node may decode to. The service sends one
// 256x256 texture per node (192 KiB); without a bound, a message of many
// meshes with small but huge-announcing images could exhaust memory.
constexpr size_t max_node_texture_bytes = size_t{256} << 20;
// What the textures of all downloaded nodes together may decode to. A
// typical view holds a few hundred nodes of 192 KiB (under 100 MiB); a
// service whose small JPEGs decode to 192 MiB each must not take the
// machine's memory (and the GPU's) with them.
constexpr size_t decoded_texture_budget_bytes = size_t{1} << 30;

// --- Pose listener ---------------------------------------------------------

// UDP port of the orientation listener (not started by the viewer).
constexpr uint16_t pose_listener_port = 11012;
