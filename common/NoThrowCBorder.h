// NoThrowCBorder: runs the body of a C entry point so that no exception crosses the C interface.
#pragma once

namespace ruvo {

// Memory exhaustion (or any other exception) inside body becomes the given failure value.
template <typename Result, typename Body>
Result CallNoThrow(Result onFailure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return onFailure;
    }
}

}  // namespace ruvo
