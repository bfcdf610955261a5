// What a fresh device reports: each test starts from the factory state of
// its own device, whatever the other worker is doing to its own.
import { api, expect, test } from './lab-fixtures';

test('the battery is at the factory 80', async ({ device, page, request }) => {
  const status = await api(request, device, { module: 'status', action: 0 });
  expect(status.battery.voltage).toBe(80);
  await page.goto(`${device.url}/`);
  await expect(page.locator('#battery')).toContainText('80');
});

test('the Wi-Fi name is the factory one', async ({ device, request }) => {
  const read = await api(request, device, { module: 'wlan', action: 0 });
  expect(read.ssid).toBe('MH4G_4D4801');
});
