// The input side of a connection, fed the same bytes whole and cut into pieces: what it tells (request lines,
// flags, where the request comes from, bodies, errors) must not depend on how the bytes arrived. The fuzzer chooses
// the cuts, the header limit and the bytes.

#include "api/request_origin.hpp"
#include "http/request_input.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t MAX_CUTS = 8;
constexpr std::size_t MAX_REQUESTS = 64;

using event = httpd::request_input::event;

// What the input told, one line per fact; the pieces of a body are joined.
std::vector<std::string> tell(const std::vector<std::string_view>& pieces, std::size_t header_limit) {
    httpd::request_input input(header_limit);
    std::vector<std::string> told;
    std::string body;
    for (const auto piece : pieces) {
        input.append(piece.data(), piece.size());
        while (true) {
            const event e = input.next();
            if (e == event::more_input || e == event::held) break;
            if (e == event::bad_request || e == event::header_too_large) {
                // A header that is both too large and malformed may be found
                // out either way first, depending on where it was cut.
                told.push_back("refused");
                return told;
            }
            if (e == event::header) {
                auto& request = input.request();
                told.push_back("header " + request.method + " " + request.target + " keep-alive=" +
                               std::to_string(input.keep_alive()) + " continue=" +
                               std::to_string(input.expects_continue()) + " body=" +
                               std::to_string(input.body_follows()) + " refusal=" +
                               request_origin::cross_site_refusal(request.marks) + " form=" +
                               std::to_string(request_origin::is_form_content_type(request.marks.content_type)));
                continue;
            }
            if (input.body().size() > httpd::request_input::BODY_PIECE_BYTES) std::abort();
            body.append(input.body());
            if (e == event::body_end) {
                told.push_back("body " + body + " after " + std::to_string(input.request_bytes()));
                body.clear();
                if (told.size() > MAX_REQUESTS) return told;
                input.next_request();
            }
        }
    }
    told.push_back("waiting, " + std::to_string(body.size()) + " body bytes so far");
    return told;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    const std::size_t header_limit = provider.ConsumeIntegralInRange<std::size_t>(16, 8192);
    std::vector<std::size_t> cuts(provider.ConsumeIntegralInRange<std::size_t>(0, MAX_CUTS));
    for (auto& cut : cuts) cut = provider.ConsumeIntegral<std::uint16_t>();
    const std::string stream = provider.ConsumeRemainingBytesAsString();

    std::vector<std::string_view> pieces;
    std::string_view rest(stream);
    for (const auto cut : cuts) {
        const std::size_t n = cut % (rest.size() + 1);
        pieces.push_back(rest.substr(0, n));
        rest.remove_prefix(n);
    }
    pieces.push_back(rest);
    auto in_pieces = tell(pieces, header_limit);
    const auto whole = tell({stream}, header_limit);
    // A header that arrives whole is checked as it is parsed; one that arrives in pieces only once its end is
    // there: a malformed header still waiting for its end is not refused yet, and is once it has ended.
    if (in_pieces != whole && whole.back() == "refused" && in_pieces.size() == whole.size() &&
        in_pieces.back().rfind("waiting", 0) == 0)
        in_pieces.back() = "refused";
    if (in_pieces != whole) std::abort();
    return 0;
}
