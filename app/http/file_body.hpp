#pragma once
// A response body streamed from an open file (a log, a debug bundle): the
// file is read piece by piece as the frame sends it and closed when the
// response is done or the client has gone.

#include "http/http_response.hpp"

namespace httpd {

// Takes ownership of `fd`.
http_response::body_reader file_body(int fd);

}  // namespace httpd
