// The HAR recipe: record /api through a running kal_http, replay the
// recording with the relay gone. Run by the workbench test
// PlaywrightHar.RecordedRepliesReplayWithoutTheRelay, which starts the
// server and the relay on a temporary device and names them in KAL_HTTP
// (HOST:PORT), the HAR file in KAL_HAR_FILE and where results go in
// KAL_PLAYWRIGHT_OUT.
import { defineConfig } from '@playwright/test';

export default defineConfig({
  testDir: '.',
  testMatch: 'har*.test.ts',
  outputDir: process.env.KAL_PLAYWRIGHT_OUT || '/tmp/kal-playwright-har',
  reporter: 'line',
  workers: 1,
  timeout: 60000,
  use: {
    headless: true,
    // Debian's Chromium: Playwright downloads no browser here.
    launchOptions: { executablePath: '/usr/bin/chromium', args: ['--no-sandbox', '--disable-gpu'] },
  },
});
