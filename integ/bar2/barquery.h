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
