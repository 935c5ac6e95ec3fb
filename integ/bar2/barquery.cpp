// Catalogue queries of an integration context: one catalogue state per
// context, whose session handle is the context's dbsmHandle.
#include "bar2/barquery.h"

#include <memory>

#include "cmn/defines.h"

TARN_RCSID("integ/bar2/barquery.cpp");

void BarCatalogDelete::operator()(VEK_Catalog* catalog) const {
  delete catalog;
}

VEK_Catalog* VEK_ContextCatalog(BarContext* ctx) {
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return nullptr;
  auto& catalog = ctx->catalog;
  if (catalog == nullptr) catalog.reset(new VEK_Catalog());
  // The context's end may have closed the session behind this state's back.
  if (catalog->handle != ctx->dbsmHandle) {
    catalog->query = query_t{};
    catalog->handle = ctx->dbsmHandle;
  }
  catalog->mirror = &ctx->dbsmHandle;
  return catalog.get();
}

int VEK_StartQueries(BarContext* ctx) {
  ctx = BarResolve(ctx);
  VEK_Catalog* catalog = VEK_ContextCatalog(ctx);
  if (catalog == nullptr) return kVekQueryNoContext;
  const int rc = VEK_CatalogStart(catalog);
  ctx->dbsmHandle = catalog->handle;
  return rc;
}

int VEK_EndQueries(BarContext* ctx) {
  ctx = BarResolve(ctx);
  VEK_Catalog* catalog = VEK_ContextCatalog(ctx);
  if (catalog == nullptr) return kVekQueryNoContext;
  const int rc = VEK_CatalogEnd(catalog);
  ctx->dbsmHandle = catalog->handle;
  return rc;
}
