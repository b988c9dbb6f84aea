// Every tunable of rocktreed and of the planet it serves, with its default
// and why it has that value. Header only; the code that uses a value names
// it from here and nowhere else defines one.
#pragma once

#include <cstddef>
#include <cstdint>

// --- Service ---------------------------------------------------------------

constexpr int default_port = 8086;                  // the viewer's built-in service address
constexpr const char* default_bind_address = "127.0.0.1";  // loopback: nothing is exposed unasked
constexpr long default_cache_mb = 256;              // answers of a long flight fit; small next to a desktop's memory
// Of --cache-mb, the share the response cache itself may hold: the builds in
// flight (a few hundred KB per thread) and the allocator's slack come out
// of the same memory.
constexpr size_t cache_share_num = 3, cache_share_den = 4;
// With user layers, GDAL's block cache takes this share of --cache-mb and
// the response cache gives it up: pixels read for one node are read again
// by its neighbours and children, answers of a flight rarely are.
constexpr size_t gdal_cache_share_num = 1, gdal_cache_share_den = 4;
// The largest request body read (requests are GETs; anything big is hostile).
constexpr size_t max_request_payload_bytes = 64 * 1024;
// Requests one kept-alive connection may carry: a viewer's whole flight.
constexpr int keep_alive_max_requests = 10000;
// --- Connections -------------------------------------------------------------

// A whole request head must arrive within this of the connection opening: a
// viewer's fits in one packet, a client that drips its head byte by byte
// (slowloris) is cut here instead of holding a connection for ever.
constexpr int default_head_timeout_s = 10;
// A kept-alive connection waits this long for its next request head: a
// viewer's connections are busy or closed, and an idle one costs a slot.
constexpr int default_idle_timeout_s = 5;
// An answer being sent must make progress within this: a client that stops
// reading loses the connection instead of pinning its buffers. Longer than
// the head and idle deadlines, which are checked first.
constexpr int default_send_timeout_s = 15;
// Connections open at once from one client address (--max-connections-per-ip):
// a viewer keeps up to 24; beyond, a new one is closed at once, unanswered.
constexpr int default_max_connections_per_ip = 32;
// Connections open at once in all (--max-connections); beyond, a new one is
// answered 503 with Retry-After and closed.
constexpr int default_max_connections = 1024;
// Connections held beyond --max-connections only to be told 503; past
// these, the library closes new ones at accept.
constexpr int refusal_headroom_connections = 64;
// Seconds a refused client is told to wait (Retry-After).
constexpr int refused_retry_after_s = 1;
// How often head and idle deadlines are checked: the precision of both.
constexpr int connection_sweep_ms = 100;
// Out of descriptors, the accept loop waits this long before trying again
// (closing connections frees them; retrying at once would only spin).
constexpr int accept_retry_ms = 50;
// Event loops of the front end per --threads: a loop that builds an answer
// holds its other connections meanwhile, so there are more loops than builds.
constexpr int event_loops_per_build_thread = 2;
// Memory of one connection's request head and buffers (the library's pool):
// a head larger than about half of it is answered 431.
constexpr size_t connection_memory_bytes = 32 * 1024;
// On SIGTERM or SIGINT: answers under way get this long to finish
// (--stop-grace), well inside systemd's 90 s stop timeout.
constexpr int default_stop_grace_s = 10;
// malloc arenas while serving: one. Each arena keeps the memory freed in it
// (evicted answers, build buffers), so several grew the resident size past
// --cache-mb without bound (101 MB above start-up after 100,000 deep
// requests with --cache-mb 64 and still rising, against 58 MB with one,
// flat from 80,000 on); the per-thread caches keep the lock off the common
// path.
constexpr int serving_malloc_arenas = 1;
// Blocks at least this big come from the kernel and go back to it when
// freed: the shoreline bins' reads and decoded rings come and go in blocks
// of hundreds of KB between the cached answers, and from the heap they left
// it 20 MB of holes (67.7 MB above start-up after 10,000 coastal nodes with
// --cache-mb 64, against 53.4 MB so); a texture (192 KB) stays below.
constexpr int serving_mmap_threshold_bytes = 256 << 10;
// What the service may hold above start-up while serving, beyond --cache-mb
// (the builds in flight, the allocator's slack, connections): measured 10 MB
// with --cache-mb 64 after 100,000 deep requests (58 MB above start-up, the
// cache 48 MB); the tests hold it to this.
constexpr long serving_memory_margin_mb = 16;
// The most answers --threads may let compute at once.
constexpr long max_answer_threads = 256;

// --- Static export ---------------------------------------------------------

// Levels exported everywhere: a viewer anywhere sees a whole Earth (2,732
// nodes, a few seconds to build).
constexpr int default_export_base_level = 6;
// Deepest level exported inside --region when --max-level is not given:
// nodes of about 10 km, 40 m per texel.
constexpr int default_export_region_max_level = 12;
// Between two progress lines: often enough to watch, rare enough to read.
constexpr int export_progress_interval_ms = 1000;

// --- Input data ------------------------------------------------------------

constexpr const char* default_relief_path = "/usr/share/ferret-vis/data/etopo5.cdf";
constexpr const char* default_imagery_path = "/usr/share/xplanet/images/earth.jpg";
// The Blue Marble JPEG carries no georeferencing: its extent (west, north,
// east, south), stated here for that built-in file only.
constexpr double default_imagery_extent[4] = {-180, 90, 180, -90};
// A finer base image (kstars-data): a Blue Marble of 5400x2500 pixels, 4
// minutes each, from 83 1/3 S to 83 1/3 N (2500 / 15 degrees), west edge at
// 180 W; its extent (west, north, east, south). --fine-imagery off leaves it out.
constexpr const char* default_fine_imagery_path = "/usr/share/kstars/geomap.jpg";
constexpr double default_fine_imagery_extent[4] = {-180, 250.0 / 3, 180, -250.0 / 3};
// Degrees over which it fades into the built-in image towards its edges
// at the poles: wide enough that the colour change shows no line.
constexpr double fine_imagery_fade_degrees = 5.0;
// A wider world image is not read (its pixels would take gigabytes).
constexpr int max_fine_imagery_width = 21600;
// Relief samples are clamped to this range: below the deepest trench and
// above the highest peak is a broken file, not terrain.
constexpr float relief_floor_metres = -12000;
constexpr float relief_ceiling_metres = 9000;

// User layers (--relief, --imagery).
// Pixels over which a layer fades into the one below at its edges and
// around its nodata: enough to hide a seam, few enough to keep the data.
constexpr int inset_feather_pixels = 4;
// A node reads the coarsest overview whose pixels are at most this many
// times its texels (or shading cells): within half an octave of what it
// shows, and half the pixels of reading the next finer one.
constexpr double level_choice_slack = 1.41;
// Without overviews GDAL averages f x f pixels per pixel read; beyond this f
// a node would read too much of the file, and the layer stays out of it.
constexpr int max_read_decimation = 8;
// Pixels above which start-up warns that a raster has no overviews.
constexpr double large_raster_pixels = 4096.0 * 4096.0;
// A window larger than this is never read (a node's is a few hundred pixels
// a side); a guard against arithmetic on hostile georeferencing.
constexpr double max_window_pixels = 4096.0 * 4096.0;

// --- Planet ----------------------------------------------------------------

constexpr double planet_radius = 6371010.0;  // the viewer's sphere, metres
constexpr int max_node_level = 20;           // about 30 m per node side at the deepest level
// Sea-only nodes from this level on are leaves: flat water needs no more detail.
constexpr int first_sea_leaf_level = 12;
// Epochs of the one version of the planet this service has. A request that
// names another epoch asks for data we do not have: 404.
constexpr uint32_t planet_epoch = 1001;
constexpr uint32_t planet_imagery_epoch = 1001;

// --- Node building ---------------------------------------------------------

constexpr int texture_size = 256;  // texels per node side: what the viewer's detail rule expects
constexpr int jpeg_quality = 85;   // no visible blocks at a third of the size of quality 95
constexpr int mesh_cells = 16;     // cells per node side, 8 per child quadrant
constexpr int shading_cells = 32;  // cells of the height grid the texture is shaded from
// A bulk bounds each node's fractal detail from this many parts of the node
// per side, each bounded from its centre: a third of the slack of one part,
// and the box of a node still costs a few microseconds, not a mesh.
constexpr int box_detail_samples = 3;

// --- Fractal detail --------------------------------------------------------

// The first octave's wavelength, just below ETOPO5's 9 km: detail starts
// where the data ends.
constexpr double detail_first_wavelength = 8000.0;
constexpr double detail_gain = 0.55;     // amplitude per octave: rough but not noisy
constexpr int detail_max_octaves = 14;   // down to about 0.5 m, below the deepest node's texel
constexpr double detail_metres = 220.0;  // the full amplitude, reached in mountains

// --- Coasts, lakes and rivers (GSHHG, gmt-gshhg packages) -----------------

// Where Debian puts GMT's binned shorelines; --gshhg DIR picks another, "off" none.
constexpr const char* default_gshhg_dir = "/usr/share/gmt-gshhg";
// The first node level that reads each resolution (crude, low,
// intermediate, high, full): the coarsest whose shoreline (25, 5, 1, 0.2,
// 0.1 km) is within about a texel of the level's (39 km / 2^(level - 2)).
constexpr int gshhg_first_level[5] = {0, 3, 5, 7, 9};
// One bin holds at most this many points (the densest full-resolution bin
// has about 170,000); more is a broken file, not a coast.
constexpr size_t max_gshhg_bin_points = 1u << 20;
// Of --cache-mb, the share the decoded bins may keep, taken from the
// response cache's: a coastal bin serves hundreds of nodes around it.
constexpr size_t shore_cache_share_num = 1, shore_cache_share_den = 8;
// The netCDF library's cache of decompressed chunks (of 64 KB) per variable
// of a shoreline file: a bin's read needs one or two.
constexpr size_t gshhg_chunk_cache_bytes = 256 * 1024;
// Edges of a shoreline ring per run whose latitudes a node checks before
// its edges: a node over a few rows of a bin skips the rest of its coast
// at 1/32 of the work, for 8 bytes a run in the bin cache.
constexpr size_t shore_edge_chunk = 32;
// Lines per texel row the coverage mask samples (exact along the row): 4
// gives 17 steps of coverage, enough that a shore shows no stairs.
constexpr int shore_mask_subsamples = 4;
// Land never lower than this, sea near the coast never higher than minus it
// (metres): the mesh's shore follows the vector coast, not ETOPO5's 9 km grid.
constexpr double shore_height_metres = 1.0;
// Colours where the image has none of its own: lakes (a fresh-water blue)
// and the tint of shallow sea over the depth that tint fades by.
constexpr float lake_colour[3] = {38, 66, 104};
constexpr float shallow_sea_tint[3] = {1.1f, 1.25f, 1.2f};
constexpr double shallow_sea_depth_metres = 30.0;
// Rivers and borders (GMT's binned_river_*.nc, binned_border_*.nc, WDB II).
// A river class (0 river-lakes, 1 permanent major, 2 additional major, 3
// additional, 4 minor, 5-7 intermittent, 8-10 canals) is drawn once a
// texel is at most this many metres: the major rivers from nodes of a few
// hundred km, the smaller ones closer.
constexpr double river_class_texel_metres[11] = {1500, 1500, 800, 300, 120, 300, 120, 60, 300, 120, 60};
// Its width on the ground (metres); drawn at least this many texels wide
// (thinner lines fade instead) and never wider than river_max_texels.
constexpr double river_class_metres[11] = {300, 250, 150, 80, 40, 40, 30, 20, 40, 30, 20};
constexpr double river_min_texels = 0.8, river_max_texels = 3.0;
constexpr float river_colour[3] = {46, 78, 118};
// --borders: the countries' borders (level 1 of the border files) in this
// colour and width (texels).
constexpr float border_colour[3] = {200, 60, 50};
constexpr double border_texels = 1.2;
// Bytes of decoded river and border bins kept (the whole cache is dropped
// when full: a node reads a few bins, each read in milliseconds).
constexpr size_t line_cache_bytes = 8u << 20;
// Image pixels the land colour and the sea colour are spread over from
// the pixels the image itself calls land or sea (a coast's smear is 1 to 3
// pixels wide).
constexpr int colour_spread_pixels = 6;
