#include "startup/planet_startup.h"

#include <cstdio>
#include <cstdlib>

#include "tree/population.h"
#include "net/fetch.h"
#include "net/retrieval.h"

rocktree_t* _planetoid = nullptr;

bool tryLoadPlanet() {
  auto* planetoid = new rocktree_t();
  planetoid->radius = 0;
  planetoid->root_bulk = nullptr;
  planetoid->downloaded.store(false);
  _planetoid = planetoid;

  bool ok = false;
  getPlanetoid([planetoid, &ok](std::unique_ptr<PlanetoidMetadata> metadata) {
    if (!metadata) return;
    populatePlanetoid(planetoid, std::move(metadata));
    ok = planetoid->downloaded.load() && planetoid->root_bulk;
  });
  if (!ok) {
    std::fprintf(stderr, "no planetoid\n");
    std::fprintf(stderr, "tried %sPlanetoidMetadata\n", baseUrl());
    return false;
  }

  bulk_t* bulk = planetoid->root_bulk;
  // Population has just created the root bulk; nothing else can have touched it.
  if (bulk->dl_state.load() != dl_state_stub) {
    std::fprintf(stderr, "check failed: bulk->dl_state == dl_state_stub\n");
    std::abort();
  }
  bulk->setStartedDownloading();
  // If this download fails, the root bulk returns to stub with its back-off
  // armed, and the walk requests it again once the back-off has passed.
  getBulk(bulk->request, bulk, [](std::unique_ptr<BulkMetadata>) {});
  return true;
}

void loadPlanet() {
  if (!tryLoadPlanet()) std::exit(1);
}
