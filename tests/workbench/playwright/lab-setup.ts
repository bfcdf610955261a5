// Starts kal_lab with one simulated device per worker and hands the
// devices to the workers in KAL_LAB_DEVICES (the environment set here
// reaches them). kal_lab ends when its standard input closes: at teardown,
// or with this runner, however it ends.
import { spawn } from 'node:child_process';
import path from 'node:path';
import { createInterface } from 'node:readline';

import type { FullConfig } from '@playwright/test';

export default async function labSetup(config: FullConfig) {
  const lab = process.env.KAL_LAB ?? path.resolve(config.rootDir, '../../../build/kal_lab');
  const child = spawn(lab, ['--devices', String(config.workers), '--until-stdin-closes'], {
    stdio: ['pipe', 'pipe', 'inherit'],
  });
  let ended = false;
  const exited = new Promise<void>((resolve) => child.once('exit', () => { ended = true; resolve(); }));
  const document = await new Promise<string>((resolve, reject) => {
    createInterface({ input: child.stdout }).once('line', resolve);
    child.once('error', (error) => reject(new Error(`cannot run ${lab}: ${error.message}`)));
    child.once('exit', (code) => reject(new Error(`kal_lab ended (status ${code}) before its devices answered`)));
  });
  process.env.KAL_LAB_DEVICES = document;
  return async () => {
    child.stdin.end();
    if (!ended)
      await exited;
  };
}
