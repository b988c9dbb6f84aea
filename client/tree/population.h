// Population of the tree from the three response messages. Each function
// takes ownership of its message. populateBulk and populateNode run on a
// worker while the record is dl_state_downloading; they end either with
// setFinishedDownloading (the publication point) or, when a check rejects the
// message, with one line on standard error naming the check and the record's
// path, nothing of the message kept, and markRetrievalFailed.
#pragma once

#include <memory>

#include "tree/tree.h"

void populatePlanetoid(rocktree_t* planetoid, std::unique_ptr<PlanetoidMetadata> planetoid_metadata);

// Returns true when the bulk was populated, false when its message was rejected.
bool populateBulk(bulk_t* bulk, std::unique_ptr<BulkMetadata> bulk_metadata);

// Returns true when the node was populated, false when its message was rejected.
bool populateNode(node_t* node, std::unique_ptr<NodeData> node_data);
