// Each worker gets a simulated device of its own: lab-setup.ts starts
// kal_lab with one device per worker, lab-fixtures.ts hands each worker
// its device and resets it before every test.
import os from 'node:os';
import path from 'node:path';

import { defineConfig } from '@playwright/test';

const workers = 2;

export default defineConfig({
  testDir: '.',
  testMatch: /lab-.*\.test\.ts$/,
  globalSetup: './lab-setup.ts',
  workers,
  fullyParallel: true,
  forbidOnly: true,
  retries: 0,
  timeout: 30_000,
  reporter: [['list']],
  // Not into the source tree.
  outputDir: process.env.KAL_PLAYWRIGHT_OUTPUT ?? path.join(os.tmpdir(), 'kal-playwright-lab'),
  use: {
    // Debian's Chromium: no browser download.
    launchOptions: { executablePath: process.env.KAL_CHROMIUM ?? '/usr/bin/chromium' },
  },
});
