#include "pluginAPI/pxRenderer.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <future>
#include <vector>

#include "primitives/ipCrop.h"
#include "primitives/ipSet.h"

namespace {

thread_local PxRenderTarget* tTarget = nullptr;

// Whether the result is the destination's own pixels over the cell.
bool isInPlace(IxTile const& result, IxWriteGuard const& dst, GeRectangle<int> const& cell) {
  if (result.getPixelRegion() != cell || result.getPixelFormat() != dst.getPixelFormat()) return false;
  return IxReadGuard(result).getPixelAddress(cell.x1(), cell.y1()) == dst.getPixelAddress(cell.x1(), cell.y1());
}

// Copies a result into its cell of the destination; what the result does
// not cover is its fill colour.
void place(IxTile const& result, IxWriteGuard& dst, GeRectangle<int> const& cell) {
  if ((cell & result.getPixelRegion()) != cell) ipSet(dst, result.getFillColor(), &cell);
  ipCrop(IxReadGuard(result), dst, &cell);
}

}  // namespace

PxRenderTarget::PxRenderTarget(PxImageProtocol const& node, IxTile const& destination, GeRectangle<int> const& cell)
    : _previous(tTarget), _node(&node), _destination(destination), _cell(cell) {
  tTarget = this;
}

PxRenderTarget::~PxRenderTarget() { tTarget = _previous; }

IxTile PxRenderTarget::claim(PxImageProtocol const& node, IxPixelFormat const& format, GeRectangle<int> const& region,
                             CoRgbaColorTyped<float> const& fillColor, PxBufferContents contents) {
  PxRenderTarget* const t = tTarget;
  if (!t || t->_node != &node || region != t->_cell || region.isEmpty() ||
      format != t->_destination.getPixelFormat())
    return IxTile();
  t->_node = nullptr;
  IxTile view(t->_destination, region, fillColor);
  if (contents == PxBufferContents::Undefined) return view;
  IxWriteGuard g(view);
  std::size_t const rowBytes = static_cast<std::size_t>(region.getWidth()) * g.getBytesPerPixel();
  for (int y = region.y1(); y < region.y2(); ++y) std::memset(g.getPixelAddress(region.x1(), y), 0, rowBytes);
  return view;
}

void PxRenderTarget::passOn(PxImageProtocol const& from, PxImageProtocol const& to) {
  if (tTarget && tTarget->_node == &from) tTarget->_node = &to;
}

PxRenderTarget::Withheld::Withheld() : _saved(tTarget) { tTarget = nullptr; }
PxRenderTarget::Withheld::~Withheld() { tTarget = _saved; }

PxRenderer::PxRenderer(PxNodePtr<PxImageProtocol> node, PxRenderSettings settings)
    : _node(std::move(node)), _settings(std::move(settings)) {}

PxImageResult PxRenderer::render(PxImageContext const& context, GeRectangle<int> const& pixelRegion) {
  PxImageFormat const format = _node->getImageFormat();
  PxImageResult out{IxTile(format.getPixelFormat(), pixelRegion, _node->getImageFillColor(),
                           format.getPixelAspectRatio()),
                    PxValidityInterval::FULL};
  out.validity = render(context, out.tile);
  return out;
}

PxValidityInterval PxRenderer::render(PxImageContext const& context, IxTile const& destination) {
  PxRequestMgr& mgr = PxRequestMgr::getInstance();
  QX_ASSERT(!mgr.isWorkerThreadCurrent());
  QX_ASSERT(destination.isValid());
  GeRectangle<int> const region = destination.getPixelRegion();
  if (region.isEmpty()) return PxValidityInterval::FULL;
  PxImageProtocol const& node = *_node;

  std::vector<PxImageContext> jobs;
  if (_settings.singleRequest || node.producesFullFrames()) {
    jobs.push_back(context.withRegion(region));
  } else {
    GeRectangle<int> const tiles = PxImageProtocol::convertPixelsToTiles(region);
    jobs.reserve(static_cast<std::size_t>(tiles.getWidth()) * tiles.getHeight());
    for (int j = tiles.y1(); j < tiles.y2(); ++j)
      for (int i = tiles.x1(); i < tiles.x2(); ++i) jobs.push_back(context.withTile(GePoint2<int>(i, j)));
  }
  int const total = static_cast<int>(jobs.size());
  int threads = _settings.threadCount > 0 ? std::min(_settings.threadCount, mgr.getWorkerCount()) : mgr.getWorkerCount();
  threads = std::clamp(threads, 1, total);

  auto const request = std::make_shared<PxRequest>();
  {
    std::lock_guard lock(_mutex);
    _request = request;
  }
  struct {
    std::mutex mutex;
    std::condition_variable changed;
    std::atomic<int> next{0};
    int done = 0;
    int finished = 0;
    std::exception_ptr error;
    PxValidityInterval validity = PxValidityInterval::FULL;
  } s;

  // Workers take tiles from a shared counter (uneven tiles balance
  // themselves) and catch everything, so that the first failure is kept and
  // the others are stopped through the request.
  auto work = [&] {
    try {
      IxWriteGuard dst(destination);
      for (int i = s.next.fetch_add(1); i < total; i = s.next.fetch_add(1)) {
        mgr.checkInterruption();
        GeRectangle<int> const cell = jobs[i].getPixelRegion() & region;
        PxImageResult r;
        {
          PxRenderTarget const offer(node, destination, cell);
          r = node.computeImage(jobs[i]);
        }
        QX_ASSERT(r.tile.isValid());
        if (!isInPlace(r.tile, dst, cell)) place(r.tile, dst, cell);
        std::lock_guard lock(s.mutex);
        s.validity = reduceVI(s.validity, r.validity);
        ++s.done;
        // Without a progress callback the waiting thread only needs the end.
        if (_settings.progress) s.changed.notify_all();
      }
    } catch (...) {
      std::lock_guard lock(s.mutex);
      if (!s.error) s.error = std::current_exception();
      request->cancel();
    }
    std::lock_guard lock(s.mutex);
    ++s.finished;
    s.changed.notify_all();
  };

  std::vector<std::future<void>> running;
  running.reserve(threads);
  for (int t = 0; t < threads; ++t) running.push_back(mgr.submit(request, work));

  std::exception_ptr callbackError;
  {
    std::unique_lock lock(s.mutex);
    for (int reported = 0;;) {
      s.changed.wait(lock, [&] { return s.done > reported || s.finished == threads; });
      if (s.done > reported) {
        reported = s.done;
        if (_settings.progress && !callbackError) {
          lock.unlock();
          try {
            _settings.progress(reported, total);
          } catch (...) {
            callbackError = std::current_exception();
            request->cancel();
          }
          lock.lock();
        }
      } else {
        break;
      }
    }
  }
  for (auto& f : running) f.get();
  {
    std::lock_guard lock(_mutex);
    _request.reset();
  }
  if (callbackError) std::rethrow_exception(callbackError);
  if (s.error) std::rethrow_exception(s.error);
  return s.validity;
}

void PxRenderer::cancel() {
  std::lock_guard lock(_mutex);
  if (_request) _request->cancel();
}
