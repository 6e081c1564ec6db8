#include "core/state.hpp"

namespace llm_metrics::detail {

State the_state;

}  // namespace llm_metrics::detail
