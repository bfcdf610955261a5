// A front-end test that records the device's replies once through kal_http
// (GET /log.har) and replays them with page.routeFromHAR, no relay needed.
// "records replies" runs with the relay up, "replays recorded" once it
// has stopped.
import { test, expect } from '@playwright/test';
import { readFileSync, writeFileSync } from 'node:fs';

const relay = 'http://' + process.env.KAL_HTTP;
const harFile = process.env.KAL_HAR_FILE || '';
const seenFile = harFile + '.seen.json';

// Distinct requests: a HAR answers the same request with its first reply.
const requests = [
  { module: 'webServer', action: 0 },
  { module: 'lan', action: 0 },
  { module: 'nosuch', action: 0 },
  { module: 'wlan', action: 0 },
];

// What the page's own fetch('/api') gets for each request.
async function sendAll(page) {
  return page.evaluate(async (list) => {
    const out = [];
    for (const request of list) {
      const res = await fetch('/api', { method: 'POST', body: JSON.stringify(request) });
      out.push({ status: res.status, type: res.headers.get('content-type'), text: await res.text() });
    }
    return out;
  }, requests);
}

test('records replies through the relay', async ({ page, request }) => {
  // One reply the relay answers itself: an error fault on wlan.0.
  const fault = await request.post(relay + '/sim', { data: { args: ['error', 'wlan.0', '503'] } });
  expect(fault.status()).toBe(200);
  await page.goto(relay + '/');
  const since = (await (await request.get(relay + '/log')).json()).latest;
  const seen = await sendAll(page);
  expect(seen.map((r) => r.status)).toEqual([200, 200, 200, 503]);
  expect(seen[0].text).toContain('"language"');
  expect(seen[2].text).toBe('{"result": -10 }');

  const har = await request.get(relay + '/log.har?since=' + since);
  expect(har.status()).toBe(200);
  const body = await har.json();
  expect(body.log.version).toBe('1.2');
  expect(body.log.entries.map((e) => e.request.postData.text)).toEqual(requests.map((r) => JSON.stringify(r)));
  writeFileSync(harFile, JSON.stringify(body));
  writeFileSync(seenFile, JSON.stringify(seen));
});

test('replays recorded replies without the relay', async ({ page }) => {
  // Nothing listens at the relay's address any more.
  await expect(fetch(relay + '/')).rejects.toThrow();
  await page.routeFromHAR(harFile, { url: '**/api', update: false });
  // The page itself, from its old address, served here.
  await page.route(relay + '/', (route) => route.fulfill({ contentType: 'text/html', body: '<!doctype html><title>replay</title>' }));
  await page.goto(relay + '/');
  const seen = JSON.parse(readFileSync(seenFile, 'utf-8'));
  expect(await sendAll(page)).toEqual(seen);
  // A request that was never recorded finds no reply.
  const unrecorded = await page.evaluate(() =>
    fetch('/api', { method: 'POST', body: '{"module":"lan","action":1}' }).then((r) => 'HTTP ' + r.status, (e) => 'failed'));
  expect(unrecorded).toBe('failed');
});
