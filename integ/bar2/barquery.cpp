// Catalogue queries of an integration context: one catalogue state per
// context, whose session handle is the context's dbsmHandle.
#include "bar2/barquery.h"

#include <map>
#include <memory>

#include "cmn/defines.h"

TARN_RCSID("integ/bar2/barquery.cpp");

namespace {

// Kept beside the context rather than in it, since the context record is a
// plain one; never freed, as the context itself may be used until exit.
std::map<const BarContext*, std::unique_ptr<VEK_Catalog>>& Catalogs() {
  static auto* catalogs = new std::map<const BarContext*, std::unique_ptr<VEK_Catalog>>;
  return *catalogs;
}

}  // namespace

VEK_Catalog* VEK_ContextCatalog(BarContext* ctx) {
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return nullptr;
  std::unique_ptr<VEK_Catalog>& catalog = Catalogs()[ctx];
  if (catalog == nullptr) catalog = std::make_unique<VEK_Catalog>();
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
