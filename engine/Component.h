// Named, owned components. An owner destroys the components it owns; a
// component that points at another asks to be told when that one goes away.
#pragma once

#include <memory>
#include <string>
#include <vector>

enum class TOperation { opInsert, opRemove };

class TComponent {
 public:
  explicit TComponent(TComponent* AOwner);
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  // Destroys a component: first it tells everyone who points at it (while it is
  // still whole), then it runs BeforeDestruction (sinks end their worker there),
  // destroys what it owns, leaves its owner and is deleted. Null is ignored.
  static void Free(TComponent* C);

  TComponent* Owner() const { return FOwner; }
  const std::string& Name() const { return FName; }
  void SetName(const std::string& Value) { FName = Value; }

  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent* Components(int Index) const { return FComponents.at(static_cast<size_t>(Index)); }
  TComponent* FindComponent(const std::string& AName) const;

  // Asks AComponent to call this component's Notification(AComponent, opRemove)
  // when it is destroyed. Components that share an owner are told anyway.
  void FreeNotification(TComponent* AComponent);
  void RemoveFreeNotification(TComponent* AComponent);

  // True once Free has started on this component.
  bool Destroying() const { return FDestroying; }

 protected:
  virtual ~TComponent();
  // Called when AComponent is inserted or removed; AComponent is still whole
  // during opRemove.
  virtual void Notification(TComponent* AComponent, TOperation Operation);
  // Runs before any destructor: the place to stop threads that call virtuals.
  virtual void BeforeDestruction() {}

 private:
  void InsertComponent(TComponent* C);
  void RemoveComponent(TComponent* C);
  void NotifyRemoval();

  TComponent* FOwner = nullptr;
  std::string FName;
  std::vector<TComponent*> FComponents;    // owned
  std::vector<TComponent*> FFreeNotifies;  // both directions, not owned
  bool FDestroying = false;
};

// unique_ptr deleter for components that have no owner.
struct TComponentDeleter {
  void operator()(TComponent* C) const { TComponent::Free(C); }
};
template <class T>
using TOwned = std::unique_ptr<T, TComponentDeleter>;

template <class T, class... Args>
TOwned<T> MakeComponent(Args&&... A) {
  return TOwned<T>(new T(std::forward<Args>(A)...));
}
