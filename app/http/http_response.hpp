#pragma once
// The response handle given to every API handler. It is completed on the
// event-loop thread, either inside the handler or later from a task posted to
// the loop. Once the client has gone away the handle is "aborted": the abort
// callback has fired and nothing more is written.

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace httpd {

class http_response {
public:
    // A chunk of the request body; `last` is true for the final chunk (which
    // may be empty). Bodiless requests get one empty last chunk.
    using data_handler = std::function<void(std::string_view chunk, bool last)>;
    using abort_handler = std::function<void()>;

    explicit http_response(std::function<void()> on_end);

    void write_status(std::string_view status);
    void write_header(std::string_view name, std::string_view value);
    // Completes the response with `body`; the frame adds Content-Length.
    void end(std::string_view body = {});

    void on_data(data_handler handler);
    void on_aborted(abort_handler handler);

    bool ended() const { return m_ended; }
    bool aborted() const { return m_aborted; }

    // Frame side.
    void deliver(std::string_view chunk, bool last);
    void abort();
    // Drops the callbacks, which usually hold this handle, once the request is over.
    void release_handlers();
    std::string serialise(bool close_connection) const;

private:
    std::string m_status = "200 OK";
    std::string m_headers;
    std::string m_body;
    bool m_ended = false;
    bool m_aborted = false;
    data_handler m_data_handler;
    abort_handler m_abort_handler;
    std::function<void()> m_on_end;
};

using response_ptr = std::shared_ptr<http_response>;

}  // namespace httpd
