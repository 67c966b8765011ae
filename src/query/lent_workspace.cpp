#include "query/lent_workspace.h"

#include <utility>

namespace vb::query {

namespace {

// The thread's idle workspace, or null while it is lent (or never made).
thread_local std::unique_ptr<Ws> idle;

bool has_shape(const Ws& ws, std::size_t n_points, std::size_t dq, std::size_t digits) {
  return ws.mark.size() == n_points && ws.query_f32.size() == dq && ws.codes.size() == digits;
}

}  // namespace

LentWs::LentWs(std::size_t n_points, std::size_t dq, std::size_t digits) {
  if (idle != nullptr && has_shape(*idle, n_points, dq, digits)) {
    ws_ = std::move(idle);
  } else {
    ws_ = std::make_unique<Ws>(n_points, dq, digits);
  }
}

LentWs::~LentWs() {
  if (ws_->cand_ids.capacity() > kKeptCandidates) return;
  idle = std::move(ws_);
}

}  // namespace vb::query
