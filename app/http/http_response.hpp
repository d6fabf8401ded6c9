#pragma once
// The response handle given to every API handler. It is completed on the
// event-loop thread, either inside the handler or later from a task posted to
// the loop. Once the client has gone away the handle is "aborted": the abort
// callback has fired and nothing more is written.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace httpd {

// The connection a response belongs to; it sends the response once ended.
class response_sink {
public:
    virtual void on_response_ended() = 0;

protected:
    ~response_sink() = default;
};

class http_response {
public:
    // A chunk of the request body; `last` is true for the final chunk (which
    // may be empty). Bodiless requests get one empty last chunk.
    using data_handler = std::function<void(std::string_view chunk, bool last)>;
    using abort_handler = std::function<void()>;
    // Fills `buffer` with the next piece of a streamed body (at most
    // `capacity` bytes) and returns its size; 0 when no more can be read.
    using body_reader = std::function<std::size_t(char* buffer, std::size_t capacity)>;

    // The response holds its connection until it is answered (or released).
    explicit http_response(std::shared_ptr<response_sink> sink);

    void write_status(std::string_view status);
    void write_header(std::string_view name, std::string_view value);
    // Completes the response with `body`; the frame adds Content-Length.
    void end(std::string_view body = {});
    void end(std::string&& body);
    // Completes the response with a body of exactly `length` bytes that the
    // frame asks `reader` for piece by piece, each piece when the previous
    // one has been sent, so that a large file never sits in memory. A reader
    // that runs dry early ends the connection (the client sees a short body,
    // never a wrong one).
    void end_streamed(std::uint64_t length, body_reader reader);
    // Completes the response with `prefix`, then `shared`, then `suffix`.
    // `shared` is text that lives elsewhere (a large status report kept
    // since the last poll): it is written from where it is, never copied,
    // and `keep` holds it alive until the response is done with.
    void end_shared(std::string&& prefix, std::string_view shared, std::string_view suffix,
                    std::shared_ptr<const void> keep);

    void on_data(data_handler handler);
    void on_aborted(abort_handler handler);

    bool ended() const { return m_ended; }
    bool aborted() const { return m_aborted; }

    // Frame side.
    void deliver(std::string_view chunk, bool last);
    void abort();
    // Drops the callbacks, which usually hold this handle, and the
    // connection once the request is over.
    void release_handlers();
    // Makes a finished handle that nobody else holds new again, for the
    // connection's next request (its buffers keep their memory).
    void reuse(std::shared_ptr<response_sink> sink);
    // Appends the status line and headers, Content-Length included, to `out`.
    void append_head(bool close_connection, std::string& out) const;
    // Written from here by the frame, so the handle keeps its memory for the next request.
    std::string_view body() const { return m_body; }
    std::string_view shared_body() const { return m_shared; }
    std::string_view body_suffix() const { return m_suffix; }
    body_reader take_reader() { return std::move(m_reader); }
    std::uint64_t body_length() const {
        return m_reader ? m_stream_length : m_body.size() + m_shared.size() + m_suffix.size();
    }

private:
    void finish();

    std::string m_status;
    std::string m_headers;
    std::string m_body;
    std::string_view m_shared;  // inside what m_keep holds
    std::string m_suffix;
    std::shared_ptr<const void> m_keep;
    body_reader m_reader;
    std::uint64_t m_stream_length = 0;
    bool m_ended = false;
    bool m_aborted = false;
    data_handler m_data_handler;
    abort_handler m_abort_handler;
    std::shared_ptr<response_sink> m_sink;
};

using response_ptr = std::shared_ptr<http_response>;

}  // namespace httpd
