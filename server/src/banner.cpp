#include "banner.hpp"

#include <cerrno>
#include <cstring>

#include <iconv.h>

namespace oramet {

namespace {

bool to_cp936(std::string_view utf8, std::string &out, std::string &error) {
    iconv_t cd = iconv_open("CP936", "UTF-8");
    if (cd == (iconv_t)-1) cd = iconv_open("GBK", "UTF-8");
    if (cd == (iconv_t)-1) {
        error = "this system cannot convert UTF-8 to code page 936 (iconv)";
        return false;
    }
    std::string in(utf8);
    std::string buf(in.size() * 2 + 16, '\0');
    char *inp = in.data();
    size_t inleft = in.size();
    char *outp = buf.data();
    size_t outleft = buf.size();
    size_t rc = iconv(cd, &inp, &inleft, &outp, &outleft);
    int saved = errno;
    if (rc != (size_t)-1) rc = iconv(cd, nullptr, nullptr, &outp, &outleft);
    iconv_close(cd);
    if (rc == (size_t)-1) {
        std::size_t at = in.size() - inleft;
        if (saved == EILSEQ)
            error = "character at byte " + std::to_string(at) +
                    " is not valid UTF-8 or has no equivalent in code page 936";
        else if (saved == EINVAL)
            error = "incomplete UTF-8 sequence at the end";
        else
            error = std::string("conversion failed: ") + std::strerror(saved);
        return false;
    }
    if (rc != 0) {
        // glibc counts irreversible conversions; refuse them rather than
        // sending a character the client would show differently.
        error = "text contains characters without an exact equivalent in code page 936";
        return false;
    }
    out.assign(buf.data(), buf.size() - outleft);
    return true;
}

}  // namespace

bool build_banner(std::string_view link_utf8, std::string_view text_utf8, std::string &out,
                  std::string &error, std::size_t max_bytes) {
    if (link_utf8.find_first_of(std::string_view("\t\r\n\0", 4)) != std::string_view::npos) {
        error = "banner link must not contain tab, CR, LF or NUL";
        return false;
    }
    if (text_utf8.find('\0') != std::string_view::npos) {
        error = "banner text must not contain NUL";
        return false;
    }
    std::string link, text;
    if (!to_cp936(link_utf8, link, error)) {
        error = "banner link: " + error;
        return false;
    }
    if (!to_cp936(text_utf8, text, error)) {
        error = "banner text: " + error;
        return false;
    }
    std::string body = link + '\t' + text;
    if (body.size() > max_bytes) {
        error = "banner is " + std::to_string(body.size()) + " bytes in code page 936; at most " +
                std::to_string(max_bytes) + " fit into the client's single receive";
        return false;
    }
    out = std::move(body);
    return true;
}

}  // namespace oramet
