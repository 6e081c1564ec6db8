#include "browser/texts.hpp"

#include <iterator>

namespace llm_metrics::browser {

int init_texts() {
#define LLM_BROWSER_TEXT_LITERAL(field, literal) literal,
    static constexpr const char* kLiterals[] = {LLM_BROWSER_TEXTS(LLM_BROWSER_TEXT_LITERAL)};
#undef LLM_BROWSER_TEXT_LITERAL
    return state().browser_texts != nullptr ? 0 : make_texts(state().browser_texts, kLiterals, std::size(kLiterals));
}

}  // namespace llm_metrics::browser
