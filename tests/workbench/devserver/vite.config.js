// The team's own dev server: pages on its port, /api proxied to kal_http
// (KAL_HTTP names it). changeOrigin makes the proxy name kal_http in Host.
export default {
  // Each test's own cache: two builds' tests may run at once.
  cacheDir: process.env.KAL_VITE_CACHE || 'node_modules/.vite',
  server: {
    proxy: {
      '/api': { target: `http://${process.env.KAL_HTTP}`, changeOrigin: true },
    },
  },
};
