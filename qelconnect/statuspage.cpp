// "/home/httpd/connect.xml": the connection table and the UDP and firmware counters for the web server.
#include "qelconnect.h"
#include "replacefile.h"

#include <arpa/inet.h>
#include <stdarg.h>
#include <string.h>

struct PageBuffer {
  char text[8192];
  size_t len;
};

static void Append(PageBuffer* p, const char* format, ...) __attribute__((format(printf, 2, 3)));
static void Append(PageBuffer* p, const char* format, ...) {
  if (p->len >= sizeof(p->text)) return;
  va_list args;
  va_start(args, format);
  int n = vsnprintf(p->text + p->len, sizeof(p->text) - p->len, format, args);
  va_end(args);
  if (n > 0) p->len += (size_t)n;
  if (p->len > sizeof(p->text) - 1) p->len = sizeof(p->text) - 1;
}

static void AppendCounters(PageBuffer* p, const TrafficCounters& c) {
  Append(p, "<tx>%d</tx><rx>%d</rx><txb>%d</txb><rxb>%d</rxb></con>\n", c.tx.load(), c.rx.load(),
         c.txb.load(), c.rxb.load());
}

void WriteConnectionStatus() {
  static PageBuffer page;
  page.len = 0;
  Append(&page, "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
                "<?xml-stylesheet type=\"text/xsl\" href=\"kernel.xslt\"?>\n"
                "<body>\n<title>Connection State</title>\n<links>"
                "<link name=\"kernel.xml\">Operating System</link>\n"
                "<link name=\"proc.xml\">Process State</link>\n"
                "<link name=\"connect.xml\" state=\"active\">Connection State</link>\n"
                "</links>\n<connections>\n");
  for (int slot = 0; slot < QC_MAX_CONNECTIONS; slot++) {
    Connection& c = Connections[slot];
    if (c.fd.load() == -1) continue;
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &c.peer.sin_addr, ip, sizeof(ip));
    Append(&page, "<con><nr>%2d</nr><ip>%s</ip><err>%d</err>", slot, ip, (int)c.errors.load());
    Append(&page, "<tx>%d</tx><rx>%d</rx><txb>%d</txb><rxb>%d</rxb></con>\n", c.tx_blocks.load(),
           c.rx_blocks.load(), c.tx_bytes.load(), c.rx_bytes.load());
  }
  Append(&page, "<con><nr>udp1</nr><ip>ext0</ip><err> </err>");
  AppendCounters(&page, UdpTraffic);
  Append(&page, "<con><nr>Firmware</nr><ip>local</ip><err> </err>");
  AppendCounters(&page, FwTraffic);
  Append(&page, "</connections>\n</body>");
  ReplaceFile("/home/httpd/connect.xml", false,
              [](FILE* f) { return fwrite(page.text, 1, page.len, f) == page.len; });
}
