#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "startup/planet_startup.h"
#include "net/fetch.h"
#include "net/http_client.h"
#include "net/retrieval.h"
#include "fetch_fixture.h"
#include "startup/process_objects.h"

// Allocations of exactly this many bytes fail (0: none), so that a test can
// run the retrieval out of memory at one chosen place. Replaces the global
// allocation functions of this test program, except under a sanitizer,
// whose runtime owns them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define OSTRAVEL_OWN_ALLOCATOR 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define OSTRAVEL_OWN_ALLOCATOR 0
#endif
#endif
#ifndef OSTRAVEL_OWN_ALLOCATOR
#define OSTRAVEL_OWN_ALLOCATOR 1
#endif

std::atomic<size_t> refused_allocation_size{0};

#if OSTRAVEL_OWN_ALLOCATOR
void* operator new(size_t n) {
  if (n != 0 && n == refused_allocation_size.load()) throw std::bad_alloc();
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
// GCC cannot see that this operator new allocates with malloc.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
#endif

namespace {

ScriptServer& service() {
  static fetch_fixture_t e("retrieval");
  return e.server;
}

const std::string rt = "/rt/earth/";

std::string serialized(const google::protobuf::MessageLite& m) { return m.SerializeAsString(); }

scripted_reply_t ok(const std::string& body) { return httpReply(200, "OK", body); }

std::string goodBulk() {
  BulkMetadata b;
  for (int k = 0; k < 3; ++k) b.add_head_node_center(1.0 + k);
  return serialized(b);
}

std::string goodNode() {
  NodeData d;
  for (int k = 0; k < 16; ++k) d.add_matrix_globe_from_mesh(k % 5 == 0 ? 1.0 : 0.0);
  return serialized(d);
}

// A parent bulk holding one child bulk and one node, as population leaves them.
struct tree_t {
  bulk_t parent{};
  bulk_t* child;
  node_t* node;

  explicit tree_t(const std::string& base) {
    parent.request = createBulkMetadataRequest("", base, 1);
    parent.busy_ctr = 0;
    parent.setNotDownloadedYet();
    auto b = std::make_unique<bulk_t>();
    b->request = createBulkMetadataRequest(base, "0123", 5);
    b->parent = &parent;
    b->busy_ctr = 0;
    b->setNotDownloadedYet();
    child = b.get();
    parent.bulks["0123"] = std::move(b);
    auto n = std::make_unique<node_t>();
    n->request.mutable_node_key()->set_path(base + "2");
    n->request.mutable_node_key()->set_epoch(7);
    n->request.set_texture_format(Texture_Format_JPG);
    n->can_have_data = true;
    n->parent = &parent;
    n->setNotDownloadedYet();
    node = n.get();
    parent.nodes["2"] = std::move(n);
  }
};

// Starts a retrieval the way the walk does and waits for its callback. The
// wait is bounded only so that a lost callback fails the test instead of
// hanging it.
template <class R, class Get>
void retrieve(R* record, Get get) {
  ASSERT_EQ(record->dl_state.load(), dl_state_stub);
  record->setStartedDownloading();
  auto done = std::make_shared<std::promise<int>>();
  auto calls = std::make_shared<std::atomic<int>>(0);
  get([done, calls](auto message) {
    EXPECT_EQ(message, nullptr);  // on success population already took the message
    if (calls->fetch_add(1) == 0) done->set_value(0);
  });
  ASSERT_EQ(done->get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_EQ(calls->load(), 1);
}

void retrieveBulk(bulk_t* b) {
  retrieve(b, [b](auto cb) { getBulk(b->request, b, cb); });
}

void retrieveNode(node_t* n) {
  retrieve(n, [n](auto cb) { getNode(n->request, n, cb); });
}

void expectFailedWithBackoff(const retry_backoff_t& backoff, dl_state state, int failures) {
  EXPECT_EQ(state, dl_state_stub);
  EXPECT_EQ(backoff.failures.load(), failures);
  EXPECT_FALSE(retryDue(backoff, retryClockMs()));
  EXPECT_TRUE(retryDue(backoff, retryClockMs() + retryDelayMs(failures)));
}

}  // namespace

TEST(Retrieval, BulkAndNodeArePopulated) {
  tree_t t("01");
  service().reply(rt + "BulkMetadata/pb=!1m2!1s010123!2u5", ok(goodBulk()));
  service().reply(rt + "NodeData/pb=!1m2!1s012!2u7!2e1!4b0", ok(goodNode()));
  // With an imagery epoch the node's path carries the !3u entry.
  tree_t u("02");
  u.node->request.set_imagery_epoch(9);
  service().reply(rt + "NodeData/pb=!1m2!1s022!2u7!2e1!3u9!4b0", ok(goodNode()));

  retrieveBulk(t.child);
  EXPECT_EQ(t.child->dl_state.load(), dl_state_downloaded);
  EXPECT_FLOAT_EQ(t.child->head_node_center.z(), 3.0f);
  retrieveNode(t.node);
  EXPECT_EQ(t.node->dl_state.load(), dl_state_downloaded);
  EXPECT_EQ(t.node->matrix_globe_from_mesh(0, 0), 1.0);
  EXPECT_EQ(t.parent.busy_ctr.load(), 2);  // both children loaded

  retrieveNode(u.node);
  EXPECT_EQ(u.node->dl_state.load(), dl_state_downloaded);
  EXPECT_EQ(u.node->backoff.failures.load(), 0);
}

TEST(Retrieval, FailuresReturnToStubWithBackoff) {
  tree_t t("03");
  const std::string bulk_path = rt + "BulkMetadata/pb=!1m2!1s030123!2u5";
  const std::string node_path = rt + "NodeData/pb=!1m2!1s032!2u7!2e1!4b0";
  BulkMetadata rejected_bulk;  // parses, but has no head node centre
  rejected_bulk.add_head_node_center(1.0);
  service().replySequence(bulk_path, {httpReply(404, "Not Found", "no bulk here"), ok("\xff\xff\xff\xff"),
                                      ok(serialized(rejected_bulk)), closeWithoutReply(), ok(goodBulk())});
  NodeData rejected_node;  // parses, but its matrix is short
  rejected_node.add_matrix_globe_from_mesh(1.0);
  service().replySequence(node_path, {closeWithoutReply(), ok("\xff\xff\xff\xff"),
                                      ok(serialized(rejected_node))});

  const char* expected_bulk_lines[] = {"could not load node\n  \"030123\": status 404", "download failed",
                                       "rejected bulk", "could not load node"};
  for (int k = 0; k < 4; ++k) {
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    retrieveBulk(t.child);
    std::string out = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find(expected_bulk_lines[k]), std::string::npos) << k << ": " << out;
    expectFailedWithBackoff(t.child->backoff, t.child->dl_state.load(), k + 1);
    EXPECT_EQ(t.parent.busy_ctr.load(), 0) << k;
  }
  // Back-off grows per consecutive failure and a success resets it.
  EXPECT_EQ(retryDelayMs(4), 8000);
  retrieveBulk(t.child);
  EXPECT_EQ(t.child->dl_state.load(), dl_state_downloaded);
  EXPECT_EQ(t.child->backoff.failures.load(), 0);
  EXPECT_TRUE(retryDue(t.child->backoff, retryClockMs()));

  const char* expected_node_lines[] = {"could not load node", "download failed", "rejected node"};
  for (int k = 0; k < 3; ++k) {
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    retrieveNode(t.node);
    std::string out = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find(expected_node_lines[k]), std::string::npos) << k << ": " << out;
    expectFailedWithBackoff(t.node->backoff, t.node->dl_state.load(), k + 1);
    EXPECT_EQ(t.parent.busy_ctr.load(), 1) << k;  // only the loaded child bulk counts
  }
}

// A transfer the scheduler gives up ends at once, its connection closed,
// and its record is a stub again with no back-off and no diagnostic:
// nothing went wrong with it.
TEST(Retrieval, AbandonedTransferEndsQuietlyWithoutBackoff) {
  tree_t t("05");
  service().reply(rt + "NodeData/pb=!1m2!1s052!2u7!2e1!4b0", neverReply());
  const size_t before = service().requestCount();
  auto ticket = std::make_shared<retrieval_ticket_t>();
  testing::internal::CaptureStderr();
  t.node->setStartedDownloading();
  getNode(t.node->request, t.node, [](std::unique_ptr<NodeData>) {}, ticket);
  ASSERT_TRUE(service().waitForRequests(before + 1, 60000));
  EXPECT_FALSE(ticket->ended.load());
  ticket->abandon = true;
  for (int k = 0; k < 6000 && !ticket->ended.load(); ++k) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ASSERT_TRUE(ticket->ended.load());
  EXPECT_EQ(t.node->dl_state.load(), dl_state_stub);
  EXPECT_EQ(t.node->backoff.failures.load(), 0);
  EXPECT_TRUE(retryDue(t.node->backoff, retryClockMs()));
  EXPECT_EQ(t.parent.busy_ctr.load(), 0);
  for (int k = 0; k < 6000 && service().openConnections() > 0; ++k)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(service().openConnections(), 0u);
}

// A key path of 30 characters or more never reaches the service.
TEST(Retrieval, OverlongPathIsRejectedBeforeRequesting) {
  tree_t t("04");
  const std::string long_path(30, '1');
  t.node->request.mutable_node_key()->set_path(long_path);
  t.child->request.mutable_node_key()->set_path(long_path + std::string(300, '2'));
  size_t before = service().requestCount();
  testing::internal::CaptureStderr();
  retrieveNode(t.node);
  retrieveBulk(t.child);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("strlen(path) < 30"), std::string::npos) << err;
  expectFailedWithBackoff(t.node->backoff, t.node->dl_state.load(), 1);
  expectFailedWithBackoff(t.child->backoff, t.child->dl_state.load(), 1);
  EXPECT_EQ(t.parent.busy_ctr.load(), 0);
  EXPECT_EQ(service().requestCount(), before);

  // Nor does a key that is not made of octant digits: it would land verbatim
  // in the request line.
  t.node->request.mutable_node_key()->set_path("0 HTTP/1.0\r\nX: 1");
  testing::internal::CaptureStderr();
  retrieveNode(t.node);
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("octant digits"), std::string::npos) << err;
  expectFailedWithBackoff(t.node->backoff, t.node->dl_state.load(), 2);
  EXPECT_EQ(service().requestCount(), before);

  // 29 characters are fine.
  t.node->request.mutable_node_key()->set_path(std::string(29, '3'));
  service().reply(rt + "NodeData/pb=!1m2!1s" + std::string(29, '3') + "!2u7!2e1!4b0", ok(goodNode()));
  retrieveNode(t.node);
  EXPECT_EQ(t.node->dl_state.load(), dl_state_downloaded);
}

TEST(Retrieval, PlanetoidCallbackGetsMessageOrNothing) {
  PlanetoidMetadata p;
  p.set_radius(6371010.0f);
  service().replySequence(rt + "PlanetoidMetadata",
                          {ok(serialized(p)), ok("\xff\xff"), httpReply(404, "Not Found", "")});
  auto get = [] {
    std::unique_ptr<PlanetoidMetadata> got;
    int calls = 0;
    getPlanetoid([&](std::unique_ptr<PlanetoidMetadata> m) {
      got = std::move(m);
      ++calls;
    });
    EXPECT_EQ(calls, 1);
    return got;
  };
  auto m = get();
  ASSERT_NE(m, nullptr);
  EXPECT_FLOAT_EQ(m->radius(), 6371010.0f);

  testing::internal::CaptureStderr();
  EXPECT_EQ(get(), nullptr);  // does not parse: nothing printed
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  testing::internal::CaptureStderr();
  EXPECT_EQ(get(), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "could not load planetoid\n");
}

// Start-up populates the planetoid and queues the root bulk; a root bulk
// whose download fails comes back as a stub that can be requested again.
TEST(Retrieval, PlanetStartUpAndRootBulkRetry) {
  PlanetoidMetadata p;
  p.set_radius(1000.0f);
  p.mutable_root_node_metadata()->set_epoch(4);
  service().reply(rt + "PlanetoidMetadata", ok(serialized(p)));
  const std::string root_path = rt + "BulkMetadata/pb=!1m2!1s!2u4";
  service().replySequence(root_path, {httpReply(500, "Error", ""), ok(goodBulk())});

  testing::internal::CaptureStderr();
  ASSERT_TRUE(tryLoadPlanet());
  ASSERT_NE(_planetoid, nullptr);
  EXPECT_TRUE(_planetoid->downloaded.load());
  EXPECT_FLOAT_EQ(_planetoid->radius, 1000.0f);
  bulk_t* root = _planetoid->root_bulk;
  ASSERT_NE(root, nullptr);
  for (int k = 0; k < 60000 && root->dl_state.load() != dl_state_stub; ++k)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  testing::internal::GetCapturedStderr();
  expectFailedWithBackoff(root->backoff, root->dl_state.load(), 1);

  retrieveBulk(root);
  EXPECT_EQ(root->dl_state.load(), dl_state_downloaded);
}

// A response the viewer has no memory to keep ends like any failed
// retrieval: the record back to stub with its back-off, the parent free.
TEST(Retrieval, OutOfMemoryEndsLikeAFailedRetrieval) {
  if (!OSTRAVEL_OWN_ALLOCATOR) GTEST_SKIP() << "the sanitizer's runtime owns operator new";
  tree_t t("05");
  constexpr size_t body_size = 654321;  // the copy of the body is the only allocation of this size
  service().reply(rt + "NodeData/pb=!1m2!1s052!2u7!2e1!4b0", ok(std::string(body_size, 'x')));
  refused_allocation_size = body_size;
  testing::internal::CaptureStderr();
  retrieveNode(t.node);
  const std::string err = testing::internal::GetCapturedStderr();
  refused_allocation_size = 0;
  expectFailedWithBackoff(t.node->backoff, t.node->dl_state.load(), 1);
  EXPECT_EQ(t.parent.busy_ctr.load(), 0);
  EXPECT_NE(err.find("\"052\": out of memory"), std::string::npos) << err;
}

TEST(Retrieval, PlanetStartUpWithoutService) {
  service().reply(rt + "PlanetoidMetadata", closeWithoutReply());
  testing::internal::CaptureStderr();
  EXPECT_FALSE(tryLoadPlanet());
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("no planetoid\ntried http://" + service().host() + "/rt/earth/PlanetoidMetadata\n"),
            std::string::npos)
      << err;
}

namespace {

// Queues more downloads than webpool has workers against a service that
// accepts and never answers (a listening socket nobody reads: the kernel
// completes the connections), with a stall limit of an hour, then exits the
// way the viewer does. Only stopProcessObjects can end those transfers: the
// process must still exit.
void exitWithDownloadsHeldBySilentService() {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listener, 128) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    std::abort();
  setenv("OSTRAVEL_SERVICE_HOST", ("127.0.0.1:" + std::to_string(ntohs(addr.sin_port))).c_str(), 1);
  static temp_dir_t dir("exit");
  if (chdir(dir.path.c_str()) != 0) std::abort();
  http_stall_timeout_ms = 3600 * 1000;
  static auto* trees = new std::vector<std::unique_ptr<tree_t>>();
  for (int k = 0; k < 3 * static_cast<int>(download_pool_threads); ++k) {
    tree_t* t = trees->emplace_back(std::make_unique<tree_t>("0" + std::to_string(k % 8))).get();
    t->node->setStartedDownloading();
    getNode(t->node->request, t->node, [](std::unique_ptr<NodeData>) {});
  }
  // Time for the first downloads to connect and send; the rest stay queued.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stopProcessObjects();
  std::exit(0);
}

}  // namespace

TEST(Retrieval, ExitEndsDownloadsEvenWhenTheServiceIsSilent) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(exitWithDownloadsHeldBySilentService(), testing::ExitedWithCode(0), "");
}

TEST(LatLonToOctant, CornersAndOrigin) {
  char octant[22];
  latLonToOctant(0.0, 0.0, octant);
  EXPECT_STREQ(octant, ("3" + std::string(20, '0')).c_str());
  latLonToOctant(90.0, 180.0, octant);
  EXPECT_STREQ(octant, ("31" + std::string(19, '3')).c_str());
  latLonToOctant(-90.0, -180.0, octant);
  EXPECT_STREQ(octant, ("02" + std::string(19, '0')).c_str());
  // 45 N, 45 W: north, second quarter, then the lower-left corner of the
  // upper-right cell, and south-west all the way down.
  latLonToOctant(45.0, -45.0, octant);
  EXPECT_STREQ(octant, ("213" + std::string(18, '0')).c_str());
}
