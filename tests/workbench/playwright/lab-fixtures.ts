// The device of this worker (by its parallel index, which a worker that
// replaces a failed one takes over), reset to its factory state before
// every test; and two helpers for its relay's /api and /sim.
import { test as base, expect, type APIRequestContext } from '@playwright/test';

export type LabDevice = { root: string; socket: string; url: string; server_pid: number; relay_pid: number };

export async function api(request: APIRequestContext, device: LabDevice, body: object) {
  const res = await request.post(`${device.url}/api`, { data: body });
  expect(res.status(), await res.text()).toBe(200);
  return res.json();
}

export async function sim(request: APIRequestContext, device: LabDevice, ...args: string[]) {
  const res = await request.post(`${device.url}/sim`, { data: { args }, timeout: 20_000 });
  expect(res.status(), await res.text()).toBe(200);
  return (await res.json()).message as string;
}

export const test = base.extend<{ device: LabDevice }, { labDevice: LabDevice }>({
  labDevice: [
    async ({}, use, workerInfo) => {
      const devices = JSON.parse(process.env.KAL_LAB_DEVICES ?? '{"devices":[]}').devices as LabDevice[];
      const device = devices[workerInfo.parallelIndex];
      if (device === undefined)
        throw new Error(`no device for worker ${workerInfo.parallelIndex}: is lab-setup.ts the global setup?`);
      await use(device);
    },
    { scope: 'worker' },
  ],
  device: async ({ labDevice, request }, use) => {
    await sim(request, labDevice, 'reset');
    await use(labDevice);
  },
});

export { expect };
