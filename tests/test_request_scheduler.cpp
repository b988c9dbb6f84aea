#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "net/request_scheduler.h"
#include "synthetic_tree.h"
#include "view/selection.h"

namespace {

// A downloaded bulk with child records at hand-picked places, and a
// retrieval start that only records what it was asked for.
struct harness_t {
  bulk_t parent{};
  std::vector<std::unique_ptr<node_t>> nodes;
  std::vector<std::unique_ptr<bulk_t>> bulks;
  std::vector<const void*> started;
  std::vector<std::shared_ptr<retrieval_ticket_t>> tickets;
  retrieval_start_t start;
  request_scheduler_t scheduler;
  uint64_t frame = 0;

  harness_t() {
    parent.busy_ctr = 0;
    parent.setNotDownloadedYet();
    start.bulk = [this](bulk_t* b, std::shared_ptr<retrieval_ticket_t> t) {
      started.push_back(b);
      tickets.push_back(std::move(t));
    };
    start.node = [this](node_t* n, std::shared_ptr<retrieval_ticket_t> t) {
      started.push_back(n);
      tickets.push_back(std::move(t));
    };
  }

  node_t* node() {
    auto n = std::make_unique<node_t>();
    n->parent = &parent;
    n->setNotDownloadedYet();
    nodes.push_back(std::move(n));
    return nodes.back().get();
  }

  bulk_t* bulk() {
    auto b = std::make_unique<bulk_t>();
    b->parent = &parent;
    b->busy_ctr = 0;
    b->setNotDownloadedYet();
    bulks.push_back(std::move(b));
    return bulks.back().get();
  }

  // One frame whose walk wants these records (queuing the stubs among them).
  void frameWanting(const std::vector<request_wish_t>& wishes) {
    for (const request_wish_t& w : wishes) {
      if (w.bulk && w.bulk->dl_state.load() == dl_state_stub) w.bulk->setQueued();
      if (w.node && w.node->dl_state.load() == dl_state_stub) w.node->setQueued();
    }
    scheduleRequests(&scheduler, wishes, ++frame, start);
  }
};

request_wish_t wish(node_t* n, request_priority_t p = 0) { return {nullptr, n, p}; }
request_wish_t wish(bulk_t* b, request_priority_t p = 0) { return {b, nullptr, p}; }

// Looking down -z from 10 m above the origin of the plane z = 0.
Eigen::Matrix4d downView() {
  const Eigen::Vector3d eye(0, 0, 10);
  return perspective(0.94, 1.0, 0.5, 1000) * lookAt(eye, Eigen::Vector3d(0, 0, 0), {0, 1, 0});
}

}  // namespace

// Bulks first, then coarse before fine, then near the picture's centre; the
// best-ranked wishes take the free slots (bulks leaving some to nodes) and
// the rest wait in rank order.
TEST(Scheduler, RanksBulksThenCoarseThenCentre) {
  const Eigen::Matrix4d vp = downView();
  const Eigen::Vector3d centre(0, 0, 0), edge(4, 0, 0), behind(0, 0, 20);
  const request_priority_t bulk_edge = requestPriority(false, 8, edge, vp);
  const request_priority_t coarse_edge = requestPriority(true, 1, edge, vp);
  const request_priority_t fine_centre = requestPriority(true, 9, centre, vp);
  const request_priority_t fine_edge = requestPriority(true, 9, edge, vp);
  const request_priority_t fine_behind = requestPriority(true, 9, behind, vp);
  EXPECT_LT(bulk_edge, coarse_edge);
  EXPECT_LT(coarse_edge, fine_centre);
  EXPECT_LT(fine_centre, fine_edge);
  EXPECT_LT(fine_edge, fine_behind);

  harness_t t;
  t.scheduler.max_in_flight = 3;
  node_t* a = t.node();
  node_t* b = t.node();
  node_t* c = t.node();
  node_t* d = t.node();
  bulk_t* e = t.bulk();
  t.frameWanting({wish(a, fine_behind), wish(b, fine_edge), wish(c, coarse_edge), wish(d, fine_centre),
                  wish(e, bulk_edge)});
  EXPECT_EQ(t.started, (std::vector<const void*>{e, c, d}));
  EXPECT_EQ(d->dl_state.load(), dl_state_downloading);
  ASSERT_EQ(t.scheduler.queue.size(), 2u);
  EXPECT_EQ(t.scheduler.queue[0].node, b);
  EXPECT_EQ(t.scheduler.queue[1].node, a);
  EXPECT_EQ(a->dl_state.load(), dl_state_queued);
  noteRelease(&t.scheduler, 12345, 2);
  noteRelease(&t.scheduler, 6789, 1);
  EXPECT_EQ(netLine(streamStats(t.scheduler)),
            "net: in_flight 3, queued 2, cancelled 0, cache_bytes 6789, evicted 3, reused_connections 0\n");

  // While nodes wait, bulks leave them node_reserve slots.
  harness_t u;
  u.scheduler.max_in_flight = 4;
  u.scheduler.node_reserve = 2;
  std::vector<request_wish_t> many;
  for (int k = 0; k < 4; ++k) many.push_back(wish(u.bulk(), bulk_edge));
  for (int k = 0; k < 3; ++k) many.push_back(wish(u.node(), coarse_edge));
  u.frameWanting(many);
  EXPECT_EQ(u.started, (std::vector<const void*>{many[0].bulk, many[1].bulk, many[4].node, many[5].node}));
}

// Never more than the cap under way; a slot is refilled as soon as its
// retrieval ends; a queued record the walk drops goes back to stub with its
// parent's count, and is never started.
TEST(Scheduler, CapsRetrievalsAndCancelsWhatIsNoLongerWanted) {
  harness_t t;
  t.scheduler.max_in_flight = 2;
  node_t* n[4] = {t.node(), t.node(), t.node(), t.node()};
  const std::vector<request_wish_t> all = {wish(n[0], 1), wish(n[1], 2), wish(n[2], 3), wish(n[3], 4)};
  t.frameWanting(all);
  t.frameWanting(all);
  EXPECT_EQ(t.started.size(), 2u);
  EXPECT_EQ(t.parent.busy_ctr.load(), 4);

  // A retrieval ends as the workers end it: the slot is refilled at once,
  // without waiting for a frame.
  n[0]->setFinishedDownloading();
  t.tickets[0]->ended = true;
  t.tickets[0]->on_end();
  EXPECT_EQ(t.started, (std::vector<const void*>{n[0], n[1], n[2]}));
  t.frameWanting({wish(n[1], 2), wish(n[2], 3), wish(n[3], 4)});
  EXPECT_EQ(t.started.size(), 3u);

  t.frameWanting({wish(n[1], 2), wish(n[2], 3)});  // n[3] has left the view
  EXPECT_EQ(n[3]->dl_state.load(), dl_state_stub);
  EXPECT_EQ(t.parent.busy_ctr.load(), 3);  // n[0] downloaded, n[1] and n[2] under way
  EXPECT_TRUE(retryDue(n[3]->backoff, retryClockMs()));
  EXPECT_EQ(t.scheduler.stats.cancelled, 1);
  EXPECT_EQ(t.started.size(), 3u);
  EXPECT_TRUE(t.scheduler.queue.empty());
}

// A transfer the walk stops wanting is given up after abandon_after frames,
// not before, and not while the walk keeps wanting it.
TEST(Scheduler, AbandonsTransfersNobodyWants) {
  harness_t t;
  t.scheduler.abandon_after = 3;
  node_t* wanted = t.node();
  node_t* dropped = t.node();
  t.frameWanting({wish(wanted), wish(dropped)});
  ASSERT_EQ(t.tickets.size(), 2u);
  for (int k = 0; k < 2; ++k) t.frameWanting({wish(wanted)});
  EXPECT_FALSE(t.tickets[1]->abandon.load());
  t.frameWanting({wish(wanted)});
  EXPECT_TRUE(t.tickets[1]->abandon.load());
  EXPECT_FALSE(t.tickets[0]->abandon.load());
  EXPECT_EQ(t.scheduler.stats.abandoned, 1);
  EXPECT_EQ(t.scheduler.stats.in_flight, 2);  // until the retrieval has ended
  dropped->setFailedDownloading();
  t.tickets[1]->ended = true;
  t.frameWanting({wish(wanted)});
  EXPECT_EQ(t.scheduler.stats.in_flight, 1);
}

namespace {

// A slow service: it works on at most two requests at once, in the order
// they were sent, each for `frames_each` frames. A transfer given up before
// the service got to it fails at once.
struct slow_service_t {
  struct request_t {
    bulk_t* bulk;
    node_t* node;
    std::shared_ptr<retrieval_ticket_t> ticket;
    int frames_left;
  };
  std::deque<request_t> waiting;
  std::vector<request_t> working;
  int frames_each = 3;
  std::vector<std::pair<uint64_t, const void*>> sent;  // frame, record
  uint64_t frame = 0;

  retrieval_start_t start() {
    return {[this](bulk_t* b, std::shared_ptr<retrieval_ticket_t> t) { send(b, nullptr, std::move(t)); },
            [this](node_t* n, std::shared_ptr<retrieval_ticket_t> t) { send(nullptr, n, std::move(t)); }};
  }
  void send(bulk_t* b, node_t* n, std::shared_ptr<retrieval_ticket_t> t) {
    sent.emplace_back(frame, b ? static_cast<const void*>(b) : n);
    waiting.push_back({b, n, std::move(t), frames_each});
  }
  static void end(request_t& r, bool ok) {
    if (r.bulk) ok ? r.bulk->setFinishedDownloading() : r.bulk->setFailedDownloading();
    if (r.node) ok ? r.node->setFinishedDownloading() : r.node->setFailedDownloading();
    r.ticket->ended = true;
    r.ticket->on_end();  // may send the next request at once
  }
  void advance() {
    std::vector<std::pair<request_t, bool>> ending;
    for (auto it = waiting.begin(); it != waiting.end();) {
      if (!it->ticket->abandon) {
        ++it;
        continue;
      }
      ending.emplace_back(*it, false);
      it = waiting.erase(it);
    }
    while (working.size() < 2 && !waiting.empty()) {
      working.push_back(waiting.front());
      waiting.pop_front();
    }
    for (auto it = working.begin(); it != working.end();) {
      if (--it->frames_left > 0) {
        ++it;
        continue;
      }
      ending.emplace_back(*it, true);
      it = working.erase(it);
    }
    for (auto& [r, ok] : ending) end(r, ok);
  }
};

}  // namespace

// The turn-down at the start: the view pitches from 46 degrees above the
// horizon to 46 below within 40 frames, over a service that answers two
// requests at a time. Once the turn is over, every request that goes out is
// one the final view needs: what the intermediate views wanted and did not
// get is cancelled or given up, never sent in front of the final view's.
TEST(Stall, AfterATurnOnlyTheFinalViewIsRequested) {
  const Eigen::Vector3d eye(0, 0, 300);
  synthetic_tree_t tree(eye);
  slow_service_t service;
  const retrieval_start_t start = service.start();
  request_scheduler_t scheduler;
  selection_t sel;
  constexpr int turn_frames = 40;
  constexpr int limit_frames = 4000;
  int frame = 0;
  int settled_at = -1;
  for (; frame < limit_frames && settled_at < 0; ++frame) {
    service.frame = static_cast<uint64_t>(frame);
    const double degrees = frame < turn_frames ? -46 + 92.0 * frame / turn_frames : 46;
    frame_stats_t stats{};
    walkTree(tree.root.get(), syntheticView(eye, degrees), 0, &sel, &stats);
    scheduleRequests(&scheduler, sel.wishes, sel.frame, start);
    releaseUnselected(tree.root.get(), &sel, [](mesh_t&) {}, memory_budget_bytes, &stats);
    if (frame >= turn_frames && stats.pending_nodes + stats.pending_bulks == 0) settled_at = frame;
    service.advance();
  }
  ASSERT_GE(settled_at, 0) << "the final view did not settle within " << limit_frames << " frames";

  std::set<const void*> final_view;
  for (auto& [path, n] : sel.potential_nodes) final_view.insert(n);
  for (auto& [path, b] : sel.potential_bulks) final_view.insert(b);
  size_t after_turn = 0, stale = 0;
  for (auto [f, record] : service.sent) {
    if (f < static_cast<uint64_t>(turn_frames)) continue;
    ++after_turn;
    stale += !final_view.count(record);
  }
  EXPECT_GT(after_turn, 100u);  // the final view came over the slow service
  EXPECT_EQ(stale, 0u) << "requests sent after the turn that the final view does not need";
  EXPECT_GT(scheduler.stats.cancelled, 0);
  // Every request was sent once; what was cancelled or given up went back
  // to stub and came back only if the final view wanted it.
  std::set<const void*> distinct;
  for (auto [f, record] : service.sent) distinct.insert(record);
  EXPECT_LE(service.sent.size(), distinct.size() + static_cast<size_t>(scheduler.stats.abandoned));
}
