// Catalogue queries of an integration context: the context's catalogue
// session and the catalogue state the query calls of barutil/vekquery.h take.
#pragma once

#include "bar2/bar2.h"
#include "barutil/vekquery.h"

// Opens the context's catalogue session (null: the process's own context).
// 0, -21 without a context, -2 when the session cannot be opened.
int VEK_StartQueries(BarContext* ctx);
// Closes it. 0, or -21 without a context.
int VEK_EndQueries(BarContext* ctx);
// The context's catalogue state for the VEK_Query calls, its handle that of
// the context's catalogue session; null without a context. Lives as long as
// the context (VEK_Exit ends it).
VEK_Catalog* VEK_ContextCatalog(BarContext* ctx);

// Opens the context's catalogue session for a scope and closes it at its
// end, when it was opened.
class VekQueryScope {
 public:
  explicit VekQueryScope(BarContext* ctx) : ctx_(ctx), rc_(VEK_StartQueries(ctx)) {}
  ~VekQueryScope() {
    if (rc_ == 0) VEK_EndQueries(ctx_);
  }
  VekQueryScope(const VekQueryScope&) = delete;
  VekQueryScope& operator=(const VekQueryScope&) = delete;
  // VEK_StartQueries's result.
  int rc() const { return rc_; }

 private:
  BarContext* ctx_;
  int rc_;
};
