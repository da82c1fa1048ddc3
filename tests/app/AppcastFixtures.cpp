#include "AppcastFixtures.h"

namespace AppcastFixtures {

QByteArray releases()
{
    return R"xml(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">
  <channel>
    <title>Vellumcast Uploader</title>
    <item>
      <title>Version 1.9</title>
      <enclosure url="https://downloads.vellumcast.com/uploader-1.9.tar.gz" sparkle:version="1.9" length="100" type="application/octet-stream"/>
    </item>
    <item>
      <title>Version 1.10</title>
      <link>https://vellumcast.com/uploader/download</link>
      <description><![CDATA[<h2>What's new</h2><ul><li>Faster uploads</li><li>Fewer retries &amp; clearer errors</li></ul>]]></description>
      <enclosure url="https://downloads.vellumcast.com/uploader-1.10.tar.gz" sparkle:version="1.10" sparkle:shortVersionString="1.10 (Autumn)" length="100" type="application/octet-stream"/>
    </item>
    <item>
      <title>Announcement without a release</title>
      <enclosure url="https://vellumcast.com/news.mp4" length="100" type="video/mp4"/>
    </item>
    <item>
      <title>Version 1.2.3</title>
      <enclosure url="https://downloads.vellumcast.com/uploader-1.2.3.tar.gz" sparkle:version="1.2.3" length="100" type="application/octet-stream"/>
    </item>
  </channel>
</rss>
)xml";
}

}
