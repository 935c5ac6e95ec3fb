#include "dacmn/rbm.h"

// Placeholder until the restore buffer manager lands: every call fails.
int RbmInit(const char*, const char*, const char*, const char*, int, int, IpcHandle, char*, int,
            const char*, int, const char*, double) {
  return 0;
}
std::uint8_t* RbmRead() {
  return nullptr;
}
int RbmGetBlock() {
  return 0;
}
int RbmPutBlock() {
  return 0;
}
int RbmExit(int) {
  return 0;
}
int RbmReset() {
  return 0;
}
int RbmEventLoop(int) {
  return RBM_FAILED;
}
int RdaState() {
  return RBM_FAILED;
}
