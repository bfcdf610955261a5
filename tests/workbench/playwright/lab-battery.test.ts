// Changes that would break lab-factory.test.ts's tests on a shared device.
import { api, expect, sim, test } from './lab-fixtures';

test('a low battery shows on the console', async ({ device, page, request }) => {
  await sim(request, device, 'battery', '15', '--not-charging');
  await page.goto(`${device.url}/`);
  await expect(page.locator('#battery')).toContainText('15');
  const status = await api(request, device, { module: 'status', action: 0 });
  expect(status.battery.voltage).toBe(15);
});

test('a new Wi-Fi name is stored', async ({ device, request }) => {
  const set = await api(request, device, { module: 'wlan', action: 1, ssid: 'Lab worker' });
  expect(set.result).toBe(0);
  const read = await api(request, device, { module: 'wlan', action: 0 });
  expect(read.ssid).toBe('Lab worker');
});
