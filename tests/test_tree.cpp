#include <gtest/gtest.h>

#include "tree/tree.h"

namespace {

std::unique_ptr<bulk_t> newBulk(bulk_t* parent) {
  auto b = std::make_unique<bulk_t>();
  b->parent = parent;
  b->busy_ctr = 0;
  b->setNotDownloadedYet();
  return b;
}

node_t* addNode(bulk_t* bulk, const std::string& key) {
  auto n = std::make_unique<node_t>();
  n->parent = bulk;
  n->setNotDownloadedYet();
  node_t* raw = n.get();
  bulk->nodes.emplace(key, std::move(n));
  return raw;
}

TEST(Tree, FreshRecordsAreValueInitialised) {
  rocktree_t planet{};
  EXPECT_EQ(planet.radius, 0.0f);
  EXPECT_EQ(planet.root_bulk, nullptr);
  EXPECT_FALSE(planet.downloaded.load());
  node_t n{};
  EXPECT_EQ(n.request.texture_format(), Texture_Format_JPG);
  EXPECT_TRUE(n.meshes.empty());
}

TEST(Tree, BusyCounterFollowsEveryTransition) {
  auto bulk = newBulk(nullptr);
  node_t* a = addNode(bulk.get(), "0");
  node_t* b = addNode(bulk.get(), "1");

  a->setStartedDownloading();
  b->setStartedDownloading();
  EXPECT_EQ(bulk->busy_ctr.load(), 2);
  EXPECT_EQ(a->dl_state.load(), dl_state_downloading);

  a->setFailedDownloading();  // back to stub, uncounted
  EXPECT_EQ(a->dl_state.load(), dl_state_stub);
  EXPECT_EQ(bulk->busy_ctr.load(), 1);

  b->setFinishedDownloading();  // still counted while loaded
  EXPECT_EQ(bulk->busy_ctr.load(), 1);
  b->setDeleted();
  EXPECT_EQ(b->dl_state.load(), dl_state_stub);
  EXPECT_EQ(bulk->busy_ctr.load(), 0);

  // The root bulk has no parent: its transitions touch no counter.
  bulk->setStartedDownloading();
  bulk->setFinishedDownloading();
  bulk->setDeleted();
  EXPECT_EQ(bulk->busy_ctr.load(), 0);
}

TEST(Tree, DuplicateKeyKeepsTheFirstRecord) {
  auto bulk = newBulk(nullptr);
  node_t* first = addNode(bulk.get(), "3");
  auto second = std::make_unique<node_t>();
  EXPECT_FALSE(bulk->nodes.emplace("3", std::move(second)).second);
  EXPECT_EQ(bulk->nodes.at("3").get(), first);
}

TEST(Tree, DestroyingABulkFreesTwoLevelsOfChildren) {
  auto root = newBulk(nullptr);
  auto child = newBulk(root.get());
  auto grandchild = newBulk(child.get());
  addNode(grandchild.get(), "0123");
  child->bulks.emplace("0000", std::move(grandchild));
  root->bulks.emplace("0000", std::move(child));
  root->bulks.clear();  // must not leak or touch anything else (ASan checks)
  EXPECT_TRUE(root->bulks.empty());
}

TEST(RetryBackoff, DoublesFromOneSecondUpToOneMinute) {
  EXPECT_EQ(retryDelayMs(1), 1000);
  EXPECT_EQ(retryDelayMs(2), 2000);
  EXPECT_EQ(retryDelayMs(6), 32000);
  EXPECT_EQ(retryDelayMs(7), 60000);
  EXPECT_EQ(retryDelayMs(1000), 60000);
}

TEST(RetryBackoff, FailureArmsDelayAndSuccessResetsIt) {
  auto bulk = newBulk(nullptr);
  node_t* n = addNode(bulk.get(), "2");
  EXPECT_TRUE(retryDue(n->backoff, retryClockMs()));

  n->setStartedDownloading();
  int64_t before = retryClockMs();
  markRetrievalFailed(n);
  EXPECT_EQ(n->dl_state.load(), dl_state_stub);
  EXPECT_EQ(bulk->busy_ctr.load(), 0);
  EXPECT_FALSE(retryDue(n->backoff, before));
  EXPECT_TRUE(retryDue(n->backoff, before + 1000 + 50));

  n->setStartedDownloading();
  markRetrievalFailed(n);
  EXPECT_FALSE(retryDue(n->backoff, before + 1500));  // second failure: 2 s

  n->setStartedDownloading();
  n->setFinishedDownloading();
  EXPECT_TRUE(retryDue(n->backoff, 0));
  EXPECT_EQ(n->backoff.failures.load(), 0);
}

}  // namespace
