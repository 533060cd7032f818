"""令牌属于哪个源: 同源判断、重定向时只向同源地址继续发送令牌, 以及不带凭据的 URL。"""

from __future__ import annotations

import urllib.parse
import urllib.request


def _origin(url: str) -> tuple[str, str, int | None]:
    parts = urllib.parse.urlsplit(url)
    port = parts.port or {"http": 80, "https": 443}.get(parts.scheme)
    return parts.scheme, (parts.hostname or "").lower(), port


def _redact_url(url: str) -> str:
    """去掉 URL 里的 user:password@, 以免凭据进入异常信息和日志。"""
    parts = urllib.parse.urlsplit(url)
    if "@" not in parts.netloc:
        return url
    host = parts.netloc.rsplit("@", 1)[1]
    return urllib.parse.urlunsplit(parts._replace(netloc=f"***@{host}"))


class _SameOriginAuthRedirect(urllib.request.HTTPRedirectHandler):
    """跟随重定向时只向同源地址继续发送令牌。

    令牌以 unredirected header 挂在请求上, urllib 重定向时不会复制它;
    这里在新地址与原地址同源 (协议、主机、端口都相同) 时再补回去。
    这样服务端把请求转到别的主机 (例如对象存储) 时令牌不会外泄,
    从 https 降级到 http 也同样不再携带。
    """

    def __init__(self, header: str) -> None:
        super().__init__()
        self._header = header.capitalize()  # urllib 内部按 capitalize() 存储头名

    def redirect_request(
        self,
        req: urllib.request.Request,
        fp: object,
        code: int,
        msg: str,
        headers: object,
        newurl: str,
    ) -> urllib.request.Request | None:
        new = super().redirect_request(req, fp, code, msg, headers, newurl)  # type: ignore[arg-type]
        if new is not None and _origin(new.full_url) == _origin(req.full_url):
            value = req.unredirected_hdrs.get(self._header)
            if value is not None:
                new.add_unredirected_header(self._header, value)
        return new
