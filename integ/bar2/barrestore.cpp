#include "bar2/barrestore.h"

// Placeholder until the restore calls land: every call fails.
int VEK_StartRestore(BarContext*, const char*) {
  return -2;
}
int VEK_StartRestoreEx(BarContext*, const SessionConnectOptions*) {
  return -2;
}
int VEK_StartObjectRestoreEx(BarContext*, const char*, const char*, const char*, int) {
  return -2;
}
int VEK_StartItemRestoreEx(BarContext*, const char*, VEK_Item*, void*, int*) {
  return -2;
}
int VEK_ReadItemData(BarContext*, void*, int) {
  return -2;
}
int VEK_RestoreItemCB(BarContext*, VekWriteCallback) {
  return -2;
}
int VEK_EndItemRestore(BarContext*, int*) {
  return -2;
}
int VEK_EndObjectRestore(BarContext*, int) {
  return -2;
}
int VEK_EndRestore(BarContext*, int) {
  return -2;
}
