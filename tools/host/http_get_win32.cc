#include <windows.h>
#include <winhttp.h>

#include <algorithm>

#include "platform.h"

namespace tollivar_host {

namespace {

struct InternetCloser {
  void operator()(void* handle) const { WinHttpCloseHandle(handle); }
};
using InternetHandle = std::unique_ptr<void, InternetCloser>;

std::wstring Widen(const std::string& text) {
  std::wstring wide(text.size(), L'\0');
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                    wide.data(), static_cast<int>(wide.size()));
  wide.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return wide;
}

DWORD StatusOf(HINTERNET request) {
  DWORD status = 0;
  DWORD size = sizeof(status);
  WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                      WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
  return status;
}

// Sends the request and reads the answer's head; after a 401 once more with the login in the
// strongest scheme the camera offers that WinHTTP speaks.
bool Exchange(HINTERNET request, const std::string& user, const std::string& password) {
  for (int round = 0; round < 2; ++round) {
    if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                            0, 0, 0) ||
        !WinHttpReceiveResponse(request, nullptr)) {
      return false;
    }
    if (StatusOf(request) != 401 || user.empty() || round == 1) return true;
    DWORD schemes = 0, first = 0, target = 0;
    if (!WinHttpQueryAuthSchemes(request, &schemes, &first, &target)) return true;
    const DWORD scheme = (schemes & WINHTTP_AUTH_SCHEME_DIGEST) ? WINHTTP_AUTH_SCHEME_DIGEST
                         : (schemes & WINHTTP_AUTH_SCHEME_BASIC) ? WINHTTP_AUTH_SCHEME_BASIC
                                                                 : 0;
    if (scheme == 0) return true;
    const std::wstring wuser = Widen(user), wpassword = Widen(password);
    if (!WinHttpSetCredentials(request, target, scheme, wuser.c_str(), wpassword.c_str(),
                               nullptr)) {
      return true;
    }
  }
  return true;
}

}  // namespace

std::optional<std::string> HttpGet(const std::string& url, const std::string& user,
                                   const std::string& password, long connect_timeout_ms,
                                   long request_timeout_ms, std::size_t max_body,
                                   const std::atomic<bool>& stop) {
  const std::wstring wide_url = Widen(url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof(parts);
  wchar_t host[256] = {};
  wchar_t path[2048] = {};
  parts.lpszHostName = host;
  parts.dwHostNameLength = ARRAYSIZE(host);
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = ARRAYSIZE(path);
  parts.dwExtraInfoLength = 1;  // the query stays in the path
  if (!WinHttpCrackUrl(wide_url.c_str(), 0, 0, &parts) || parts.nScheme != INTERNET_SCHEME_HTTP) {
    return std::nullopt;
  }
  std::wstring object(parts.lpszUrlPath, parts.dwUrlPathLength);
  if (parts.lpszExtraInfo != nullptr) object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);

  InternetHandle session(WinHttpOpen(L"tollivar-host", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return std::nullopt;
  const int connect_ms = static_cast<int>(connect_timeout_ms);
  const int request_ms = static_cast<int>(request_timeout_ms);
  WinHttpSetTimeouts(session.get(), connect_ms, connect_ms, request_ms, request_ms);
  InternetHandle connection(WinHttpConnect(session.get(), host, parts.nPort, 0));
  if (!connection) return std::nullopt;
  InternetHandle request(WinHttpOpenRequest(connection.get(), L"GET", object.c_str(), nullptr,
                                            WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
  if (!request) return std::nullopt;
  DWORD no_redirects = WINHTTP_DISABLE_REDIRECTS;
  WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &no_redirects,
                   sizeof(no_redirects));
  if (!Exchange(request.get(), user, password) || StatusOf(request.get()) / 100 != 2) {
    return std::nullopt;
  }
  std::string body;
  char buffer[8192];
  DWORD read = 0;
  // Each read is bounded by the receive time-out; `stop` is looked at between them.
  while (!stop && body.size() < max_body &&
         WinHttpReadData(request.get(), buffer, sizeof(buffer), &read) && read > 0) {
    body.append(buffer, std::min<size_t>(read, max_body - body.size()));
  }
  return body;
}

}  // namespace tollivar_host
